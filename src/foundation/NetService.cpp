#include "foundation/NetService.h"

#include "foundation/RunLoop.h"

#include <mutex>

namespace foundation {

Dictionary netServicesErrorDictionary(int64_t code, const std::string& description) {
    return Dictionary{{kNetServicesErrorCode, Value(static_cast<long long>(code))},
                      {kNetServicesErrorDomain, Value(10)},
                      {kNetServicesErrorDescription, Value(description)}};
}

// ---------------------------------------------------------------------------------------------
// The shared backend

namespace {

// Used when no backend was set and none is registered: every operation fails, from the run loop.
class UnavailableBackend final : public BonjourBackend {
public:
    struct Op final : Publication {
        std::shared_ptr<bool> alive = std::make_shared<bool>(true);
        ~Op() override { *alive = false; }
        bool setTXTRecord(const TXTRecord&) override { return false; }
    };

    template <class Callback> std::unique_ptr<Op> failing(Callback failed) {
        auto op = std::make_unique<Op>();
        RunLoop::main().post([alive = op->alive, failed = std::move(failed)] {
            if (*alive && failed) failed(netServicesErrorDictionary(NetServicesUnknownError, "No Bonjour service"));
        });
        return op;
    }

    std::unique_ptr<Publication> publish(const ServiceIdentity&, int, const TXTRecord&, PublishCallbacks c) override {
        return failing(std::move(c.failed));
    }
    std::unique_ptr<Operation> browse(const std::string&, const std::string&, BrowseCallbacks c) override {
        return failing(std::move(c.failed));
    }
    std::unique_ptr<Operation> resolve(const ServiceIdentity&, ResolveCallbacks c) override {
        return failing(std::move(c.failed));
    }
};

struct SharedBackend {
    std::mutex mutex;
    std::shared_ptr<BonjourBackend> backend;
    std::function<std::shared_ptr<BonjourBackend>()> factory;
};

SharedBackend& sharedBackend() {
    static SharedBackend* shared = new SharedBackend;  // outlives the statics of every library
    return *shared;
}

}  // namespace

std::shared_ptr<BonjourBackend> BonjourBackend::shared() {
    SharedBackend& s = sharedBackend();
    std::lock_guard lock(s.mutex);
    if (!s.backend) {
        if (s.factory) s.backend = s.factory();
        if (!s.backend) s.backend = std::make_shared<UnavailableBackend>();
    }
    return s.backend;
}

void BonjourBackend::setShared(std::shared_ptr<BonjourBackend> backend) {
    SharedBackend& s = sharedBackend();
    std::lock_guard lock(s.mutex);
    s.backend = std::move(backend);
}

void BonjourBackend::setDefaultFactory(std::function<std::shared_ptr<BonjourBackend>()> factory) {
    SharedBackend& s = sharedBackend();
    std::lock_guard lock(s.mutex);
    s.factory = std::move(factory);
}

// ---------------------------------------------------------------------------------------------
// NetService

std::shared_ptr<NetService> NetService::create(std::string domain, std::string type, std::string name, int port) {
    return std::make_shared<NetService>(Key{}, ServiceIdentity{std::move(name), std::move(type), std::move(domain)},
                                        port, BonjourBackend::shared());
}

NetService::NetService(Key, ServiceIdentity identity, int port, std::shared_ptr<BonjourBackend> backend)
    : identity_(std::move(identity)), port_(port), backend_(std::move(backend)) {}

NetService::~NetService() {
    if (resolveTimer_) resolveTimer_->invalidate();
}

template <class F> void NetService::tellDelegate(F&& f) {
    if (auto delegate = delegate_.lock()) f(*delegate);
}

bool NetService::setTXTRecordData(const TXTRecord& record) {
    if (publication_ && !publication_->setTXTRecord(record)) return false;
    txtRecord_ = record;
    return true;
}

void NetService::publish() {
    resolution_.reset();
    published_ = false;
    std::weak_ptr<NetService> weak = weak_from_this();
    BonjourBackend::PublishCallbacks callbacks;
    callbacks.published = [weak](const std::string& publishedName) {
        auto self = weak.lock();
        if (!self) return;
        self->identity_.name = publishedName;
        self->published_ = true;
        self->tellDelegate([&](NetServiceDelegate& d) { d.netServiceDidPublish(*self); });
    };
    callbacks.failed = [weak](const Dictionary& error) {
        auto self = weak.lock();
        if (!self) return;
        self->publication_.reset();
        self->published_ = false;
        self->tellDelegate([&](NetServiceDelegate& d) { d.netServiceDidNotPublish(*self, error); });
    };
    publication_ = backend_->publish(identity_, port_, txtRecord_, std::move(callbacks));
}

void NetService::resolveWithTimeout(double timeout) {
    publication_.reset();
    published_ = false;
    if (resolveTimer_) resolveTimer_->invalidate();
    resolveTimer_.reset();
    std::weak_ptr<NetService> weak = weak_from_this();
    BonjourBackend::ResolveCallbacks callbacks;
    callbacks.resolved = [weak](const ResolvedService& resolved) {
        auto self = weak.lock();
        if (!self) return;
        self->resolution_.reset();
        if (self->resolveTimer_) self->resolveTimer_->invalidate();
        self->hostName_ = resolved.hostName;
        self->addresses_ = resolved.addresses;
        self->port_ = resolved.port;
        self->txtRecord_ = resolved.txtRecord;
        self->tellDelegate([&](NetServiceDelegate& d) { d.netServiceDidResolveAddress(*self); });
    };
    callbacks.failed = [weak](const Dictionary& error) {
        auto self = weak.lock();
        if (!self) return;
        self->resolution_.reset();
        if (self->resolveTimer_) self->resolveTimer_->invalidate();
        self->tellDelegate([&](NetServiceDelegate& d) { d.netServiceDidNotResolve(*self, error); });
    };
    resolution_ = backend_->resolve(identity_, std::move(callbacks));
    if (timeout > 0) {
        resolveTimer_ = RunLoop::main().scheduleTimer(timeout, false, RunLoopMode::Common, [weak](Timer&) {
            auto self = weak.lock();
            if (!self || !self->resolution_) return;
            self->resolution_.reset();
            self->tellDelegate([&](NetServiceDelegate& d) {
                d.netServiceDidNotResolve(*self, netServicesErrorDictionary(NetServicesTimeoutError, "Timed out"));
            });
        });
    }
}

void NetService::stop() {
    bool active = publication_ || resolution_;
    publication_.reset();
    resolution_.reset();
    published_ = false;
    if (resolveTimer_) resolveTimer_->invalidate();
    resolveTimer_.reset();
    if (active) tellDelegate([&](NetServiceDelegate& d) { d.netServiceDidStop(*this); });
}

bool NetService::isEqualToService(const NetService& other) const {
    return &other == this || (identity_.name == other.identity_.name && identity_.type == other.identity_.type &&
                              identity_.domain == other.identity_.domain);
}

// ---------------------------------------------------------------------------------------------
// NetServiceBrowser

std::shared_ptr<NetServiceBrowser> NetServiceBrowser::create() { return std::make_shared<NetServiceBrowser>(Key{}); }

NetServiceBrowser::NetServiceBrowser(Key) {}

NetServiceBrowser::~NetServiceBrowser() = default;

template <class F> void NetServiceBrowser::tellDelegate(F&& f) {
    if (auto delegate = delegate_.lock()) f(*delegate);
}

void NetServiceBrowser::searchForServicesOfType(const std::string& type, const std::string& inDomain) {
    operation_.reset();
    found_.clear();
    order_.clear();
    uint64_t generation = ++generation_;
    backend_ = BonjourBackend::shared();
    std::weak_ptr<NetServiceBrowser> weak = weak_from_this();
    // Each callback belongs to this search only: a new search or a stop silences it.
    auto current = [weak, generation]() -> std::shared_ptr<NetServiceBrowser> {
        auto self = weak.lock();
        return self && self->generation_ == generation && self->operation_ ? self : nullptr;
    };

    BonjourBackend::BrowseCallbacks callbacks;
    callbacks.found = [current](const ServiceIdentity& identity) {
        auto self = current();
        if (!self) return;
        auto key = std::make_tuple(identity.name, identity.type, identity.domain);
        if (self->found_.count(key)) return;
        auto service = std::make_shared<NetService>(NetService::Key{}, identity, -1, self->backend_);
        self->found_.emplace(key, service);
        self->order_.push_back(service);
        self->tellDelegate(
            [&](NetServiceBrowserDelegate& d) { d.netServiceBrowserDidFindService(*self, service, false); });
    };
    callbacks.lost = [current](const ServiceIdentity& identity) {
        auto self = current();
        if (!self) return;
        auto it = self->found_.find(std::make_tuple(identity.name, identity.type, identity.domain));
        if (it == self->found_.end()) return;
        std::shared_ptr<NetService> service = it->second;
        self->found_.erase(it);
        std::erase(self->order_, service);
        self->tellDelegate(
            [&](NetServiceBrowserDelegate& d) { d.netServiceBrowserDidRemoveService(*self, service, false); });
    };
    callbacks.failed = [current](const Dictionary& error) {
        auto self = current();
        if (!self) return;
        self->operation_.reset();
        self->found_.clear();
        self->order_.clear();
        self->tellDelegate([&](NetServiceBrowserDelegate& d) { d.netServiceBrowserDidNotSearch(*self, error); });
    };

    // Posted before the backend can post anything, so the delegate hears of the search first.
    RunLoop::main().post([current] {
        if (auto self = current())
            self->tellDelegate([&](NetServiceBrowserDelegate& d) { d.netServiceBrowserWillSearch(*self); });
    });
    operation_ = backend_->browse(type, inDomain, std::move(callbacks));
}

void NetServiceBrowser::stop() {
    if (!operation_) return;
    operation_.reset();
    ++generation_;
    found_.clear();
    order_.clear();
    tellDelegate([&](NetServiceBrowserDelegate& d) { d.netServiceBrowserDidStopSearch(*this); });
}

std::vector<std::shared_ptr<NetService>> NetServiceBrowser::services() const { return order_; }

}  // namespace foundation
