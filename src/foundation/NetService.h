#pragma once
// Bonjour (DNS service discovery): publishing a service, browsing for the services of a type and
// resolving a found service to its host and port.
//
// NetService and NetServiceBrowser are what the model uses; the work is done by a
// BonjourBackend: the system's daemon (Avahi on Linux, in src/platform) or an in-process fake that
// tests script. Everything here is used from the main thread, and every delegate call arrives
// there, from the main run loop, never from inside the call that started the operation.
//
// Services are named by name, type ("_osc._udp") and domain ("local."; "" when publishing or
// browsing means the default domains). Found services always carry a domain that ends in '.'.

#include "foundation/Value.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace foundation {

class Timer;

// A TXT record: keys and their values as bytes.
using TXTRecord = std::map<std::string, Data>;

// Keys and codes of the error dictionaries that delegates receive.
inline constexpr const char* kNetServicesErrorCode = "NSNetServicesErrorCode";
inline constexpr const char* kNetServicesErrorDomain = "NSNetServicesErrorDomain";
// The backend's own description of the failure.
inline constexpr const char* kNetServicesErrorDescription = "NSNetServicesErrorDescription";
enum NetServicesError : int64_t {
    NetServicesUnknownError = -72000,
    NetServicesCollisionError = -72001,
    NetServicesNotFoundError = -72002,
    NetServicesActivityInProgress = -72003,
    NetServicesBadArgumentError = -72004,
    NetServicesCancelledError = -72005,
    NetServicesInvalidError = -72006,
    NetServicesTimeoutError = -72007,
};
// An error dictionary with the code, the domain (10, the service-discovery errors) and a
// description.
Dictionary netServicesErrorDictionary(int64_t code, const std::string& description);

// ---------------------------------------------------------------------------------------------
// Backends

// What a backend publishes, finds or resolves.
struct ServiceIdentity {
    std::string name;
    std::string type;
    std::string domain;
};

struct ResolvedService {
    std::string hostName;                // the host's DNS name
    std::vector<std::string> addresses;  // numeric addresses of that host, the first the preferred
    int port = -1;
    TXTRecord txtRecord;
};

class BonjourBackend {
public:
    virtual ~BonjourBackend() = default;

    // An operation under way; destroying it ends it, and no callback of it runs afterwards.
    class Operation {
    public:
        virtual ~Operation() = default;
    };
    class Publication : public Operation {
    public:
        // Replaces the TXT record of the published service; NO when the backend refuses it.
        virtual bool setTXTRecord(const TXTRecord& record) = 0;
    };

    struct PublishCallbacks {
        std::function<void(const std::string& publishedName)> published;  // the name may differ after a collision
        std::function<void(const Dictionary& error)> failed;
    };
    struct BrowseCallbacks {
        std::function<void(const ServiceIdentity&)> found;
        std::function<void(const ServiceIdentity&)> lost;
        std::function<void(const Dictionary& error)> failed;
    };
    struct ResolveCallbacks {
        std::function<void(const ResolvedService&)> resolved;
        std::function<void(const Dictionary& error)> failed;
    };

    // The callbacks run on the main run loop. A failed start is reported through `failed` too.
    virtual std::unique_ptr<Publication> publish(const ServiceIdentity& service, int port, const TXTRecord& txtRecord,
                                                 PublishCallbacks callbacks) = 0;
    virtual std::unique_ptr<Operation> browse(const std::string& type, const std::string& domain,
                                              BrowseCallbacks callbacks) = 0;
    virtual std::unique_ptr<Operation> resolve(const ServiceIdentity& service, ResolveCallbacks callbacks) = 0;

    // The backend that new operations use: the one set, else the one the registered default
    // factory makes on first use, else one that fails every operation.
    static std::shared_ptr<BonjourBackend> shared();
    // Replaces the shared backend (null: back to the default). Operations under way keep theirs.
    static void setShared(std::shared_ptr<BonjourBackend> backend);
    // The maker of the default backend; the platform layer registers the system's.
    static void setDefaultFactory(std::function<std::shared_ptr<BonjourBackend>()> factory);
};

// ---------------------------------------------------------------------------------------------
// Services

class NetService;

class NetServiceDelegate {
public:
    virtual ~NetServiceDelegate() = default;
    virtual void netServiceDidPublish(NetService& sender) {}
    virtual void netServiceDidNotPublish(NetService& sender, const Dictionary& errorDict) {}
    virtual void netServiceDidResolveAddress(NetService& sender) {}
    virtual void netServiceDidNotResolve(NetService& sender, const Dictionary& errorDict) {}
    virtual void netServiceDidStop(NetService& sender) {}
};

class NetService : public std::enable_shared_from_this<NetService> {
    struct Key {};

public:
    // A service to publish on `port`, or (port -1) one to resolve.
    static std::shared_ptr<NetService> create(std::string domain, std::string type, std::string name, int port = -1);
    NetService(Key, ServiceIdentity identity, int port, std::shared_ptr<BonjourBackend> backend);
    ~NetService();
    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    const std::string& name() const { return identity_.name; }
    const std::string& type() const { return identity_.type; }
    const std::string& domain() const { return identity_.domain; }
    // -1 until resolved (or given for publication).
    int port() const { return port_; }
    // Empty until resolved.
    const std::string& hostName() const { return hostName_; }
    const std::vector<std::string>& addresses() const { return addresses_; }

    // The TXT record: what was set, or what a resolution found.
    const TXTRecord& TXTRecordData() const { return txtRecord_; }
    // Stores the record and, while published, hands it to the backend; NO when that refuses it
    // (the stored record is then left unchanged).
    bool setTXTRecordData(const TXTRecord& record);

    std::weak_ptr<NetServiceDelegate> delegate() const { return delegate_; }
    void setDelegate(std::weak_ptr<NetServiceDelegate> delegate) { delegate_ = std::move(delegate); }

    // Publishes under the name, type, domain and port; the delegate hears
    // netServiceDidPublish (the name may have changed to avoid a collision) or
    // netServiceDidNotPublish.
    void publish();
    // Looks the service up; the delegate hears netServiceDidResolveAddress or
    // netServiceDidNotResolve. A timeout above 0 ends the attempt after that many seconds
    // (NetServicesTimeoutError); 0 leaves it to the backend.
    void resolveWithTimeout(double timeout);
    // Ends the publication or resolution under way; the delegate hears netServiceDidStop when
    // one was.
    void stop();

    bool isPublished() const { return published_; }

    // Same name, type and domain.
    bool isEqualToService(const NetService& other) const;

private:
    friend class NetServiceBrowser;
    template <class F> void tellDelegate(F&& f);

    ServiceIdentity identity_;
    int port_;
    std::string hostName_;
    std::vector<std::string> addresses_;
    TXTRecord txtRecord_;
    std::weak_ptr<NetServiceDelegate> delegate_;
    std::shared_ptr<BonjourBackend> backend_;
    std::unique_ptr<BonjourBackend::Publication> publication_;
    std::unique_ptr<BonjourBackend::Operation> resolution_;
    std::shared_ptr<Timer> resolveTimer_;
    bool published_ = false;
};

// ---------------------------------------------------------------------------------------------
// Browsing

class NetServiceBrowser;

class NetServiceBrowserDelegate {
public:
    virtual ~NetServiceBrowserDelegate() = default;
    virtual void netServiceBrowserWillSearch(NetServiceBrowser& browser) {}
    virtual void netServiceBrowserDidNotSearch(NetServiceBrowser& browser, const Dictionary& errorDict) {}
    virtual void netServiceBrowserDidFindService(NetServiceBrowser& browser, const std::shared_ptr<NetService>& service,
                                                 bool moreComing) {}
    virtual void netServiceBrowserDidRemoveService(NetServiceBrowser& browser,
                                                   const std::shared_ptr<NetService>& service, bool moreComing) {}
    virtual void netServiceBrowserDidStopSearch(NetServiceBrowser& browser) {}
};

class NetServiceBrowser : public std::enable_shared_from_this<NetServiceBrowser> {
    struct Key {};

public:
    static std::shared_ptr<NetServiceBrowser> create();
    explicit NetServiceBrowser(Key);
    ~NetServiceBrowser();
    NetServiceBrowser(const NetServiceBrowser&) = delete;
    NetServiceBrowser& operator=(const NetServiceBrowser&) = delete;

    std::weak_ptr<NetServiceBrowserDelegate> delegate() const { return delegate_; }
    void setDelegate(std::weak_ptr<NetServiceBrowserDelegate> delegate) { delegate_ = std::move(delegate); }

    // Starts a search (ending any under way). The delegate hears netServiceBrowserWillSearch
    // from the run loop, then each service found and lost: a lost service is the same object
    // that was reported found. A search that cannot run gives netServiceBrowserDidNotSearch.
    void searchForServicesOfType(const std::string& type, const std::string& inDomain);
    // Ends the search; the delegate hears netServiceBrowserDidStopSearch when one ran.
    void stop();

    bool isSearching() const { return operation_ != nullptr; }
    // The services found and not lost since the search began.
    std::vector<std::shared_ptr<NetService>> services() const;

private:
    template <class F> void tellDelegate(F&& f);

    std::weak_ptr<NetServiceBrowserDelegate> delegate_;
    std::unique_ptr<BonjourBackend::Operation> operation_;
    std::shared_ptr<BonjourBackend> backend_;
    std::map<std::tuple<std::string, std::string, std::string>, std::shared_ptr<NetService>> found_;
    std::vector<std::shared_ptr<NetService>> order_;  // found_ in the order of finding
    uint64_t generation_ = 0;
};

}  // namespace foundation
