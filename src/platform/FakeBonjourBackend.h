#pragma once
// An in-process Bonjour for tests: publications become services that browsers of their type find
// in the domain "local.", services of other machines are added and removed by the test, and
// failures are switched on by hand. Like a real daemon it answers from the main run loop, never
// from inside the call that asked.

#include "foundation/NetService.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace platform {

class FakeBonjourBackend final : public foundation::BonjourBackend,
                                 public std::enable_shared_from_this<FakeBonjourBackend> {
public:
    struct Service {
        foundation::ServiceIdentity identity;  // domain "local." for publications
        foundation::ResolvedService resolved;  // what resolving it gives
        bool published = false;                // published through this backend
    };

    // --- what the test sees
    // The services published now, in the order of publication.
    std::vector<Service> publishedServices() const;
    // How many browse operations run now.
    size_t browserCount() const { return browsers_.size(); }

    // --- what the test scripts
    // A service of another machine appears (browsers find it, resolving gives `resolved`) or goes.
    void addRemoteService(const foundation::ServiceIdentity& identity, const foundation::ResolvedService& resolved);
    void removeRemoteService(const foundation::ServiceIdentity& identity);
    // While set, new operations of that kind fail.
    void setFailsPublishing(bool fails) { failsPublishing_ = fails; }
    void setFailsBrowsing(bool fails) { failsBrowsing_ = fails; }
    void setFailsResolving(bool fails) { failsResolving_ = fails; }
    // While set, resolutions neither succeed nor fail: they wait until ended.
    void setLeavesResolutionsPending(bool pending) { leavesResolutionsPending_ = pending; }
    // While set, TXT record updates of publications are refused.
    void setRefusesTXTRecords(bool refuses) { refusesTXTRecords_ = refuses; }
    // The host name resolutions of published services give.
    void setLocalHostName(std::string name) { localHostName_ = std::move(name); }

    // --- BonjourBackend
    std::unique_ptr<Publication> publish(const foundation::ServiceIdentity& service, int port,
                                         const foundation::TXTRecord& txtRecord, PublishCallbacks callbacks) override;
    std::unique_ptr<Operation> browse(const std::string& type, const std::string& domain,
                                      BrowseCallbacks callbacks) override;
    std::unique_ptr<Operation> resolve(const foundation::ServiceIdentity& service, ResolveCallbacks callbacks) override;

private:
    struct PublicationOp;
    struct BrowseOp;
    struct ResolveOp;

    const Service* findService(const foundation::ServiceIdentity& identity) const;
    void announce(const Service& service, bool found);
    static bool matches(const BrowseOp& browser, const foundation::ServiceIdentity& identity);

    std::vector<Service> services_;  // remote ones and publications, in order of appearance
    std::set<BrowseOp*> browsers_;
    bool failsPublishing_ = false;
    bool failsBrowsing_ = false;
    bool failsResolving_ = false;
    bool refusesTXTRecords_ = false;
    bool leavesResolutionsPending_ = false;
    std::string localHostName_ = "quorbital-test.local.";
};

}  // namespace platform
