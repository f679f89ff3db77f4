#pragma once
// Bonjour through the Avahi daemon (avahi-client over the D-Bus system bus), driven by the main
// run loop: Avahi's descriptors and timeouts are watched by foundation::RunLoop, so its callbacks
// and every delegate call they lead to run on the main thread.
//
// The connection to the daemon is made on first use and again after it was lost. When the daemon
// cannot be reached, the operations fail (publications with netServiceDidNotPublish, searches
// with netServiceBrowserDidNotSearch) and the log says why, once until the daemon is back; the
// rest of the program runs on.
//
// The engine registers this backend as the default one (foundation::BonjourBackend::shared()).

#include "foundation/NetService.h"

#include <memory>

namespace platform {

class AvahiBonjourBackend final : public foundation::BonjourBackend {
public:
    AvahiBonjourBackend();
    ~AvahiBonjourBackend() override;
    AvahiBonjourBackend(const AvahiBonjourBackend&) = delete;
    AvahiBonjourBackend& operator=(const AvahiBonjourBackend&) = delete;

    // Connects when not connected; YES when the daemon answers.
    bool connect();

    std::unique_ptr<Publication> publish(const foundation::ServiceIdentity& service, int port,
                                         const foundation::TXTRecord& txtRecord, PublishCallbacks callbacks) override;
    std::unique_ptr<Operation> browse(const std::string& type, const std::string& domain,
                                      BrowseCallbacks callbacks) override;
    std::unique_ptr<Operation> resolve(const foundation::ServiceIdentity& service, ResolveCallbacks callbacks) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
