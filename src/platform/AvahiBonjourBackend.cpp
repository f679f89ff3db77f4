#include "platform/AvahiBonjourBackend.h"

#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/watch.h>

#include <sys/time.h>

#include <map>
#include <set>
#include <tuple>
#include <vector>

using foundation::Dictionary;
using foundation::RunLoop;
using foundation::RunLoopMode;
using foundation::ServiceIdentity;
using foundation::TXTRecord;

namespace platform {
struct AvahiOperation;
}

// Avahi leaves its watch and timeout types to the poll implementation; these are ours.
struct AvahiWatch {
    platform::AvahiBonjourBackend::Impl* impl;
    int fd;
    AvahiWatchEvent events;
    AvahiWatchCallback callback;
    void* userdata;
    AvahiWatchEvent revents = AvahiWatchEvent(0);
    bool dead = false;
};

struct AvahiTimeout {
    platform::AvahiBonjourBackend::Impl* impl;
    AvahiTimeoutCallback callback;
    void* userdata;
    std::shared_ptr<foundation::Timer> timer;
    bool dead = false;
};

namespace platform {

namespace {

// Avahi reports domains without the final dot; the rest of the system, like Bonjour, with it.
std::string normalisedDomain(const char* domain) {
    std::string d = domain && *domain ? domain : "local";
    return d.back() == '.' ? d : d + ".";
}

// What Avahi takes as a domain: none for the default domains, no final dot.
std::string avahiDomain(const std::string& domain) {
    if (domain.empty()) return domain;
    return domain.back() == '.' ? domain.substr(0, domain.size() - 1) : domain;
}

const char* orNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

Dictionary errorFor(int avahiError) {
    int64_t code;
    switch (avahiError) {
    case AVAHI_ERR_COLLISION: code = foundation::NetServicesCollisionError; break;
    case AVAHI_ERR_TIMEOUT: code = foundation::NetServicesTimeoutError; break;
    case AVAHI_ERR_NOT_FOUND: code = foundation::NetServicesNotFoundError; break;
    case AVAHI_ERR_INVALID_HOST_NAME:
    case AVAHI_ERR_INVALID_DOMAIN_NAME:
    case AVAHI_ERR_INVALID_SERVICE_NAME:
    case AVAHI_ERR_INVALID_SERVICE_TYPE:
    case AVAHI_ERR_INVALID_PORT:
    case AVAHI_ERR_INVALID_RECORD:
    case AVAHI_ERR_INVALID_ARGUMENT: code = foundation::NetServicesBadArgumentError; break;
    default: code = foundation::NetServicesUnknownError; break;
    }
    return foundation::netServicesErrorDictionary(code, avahi_strerror(avahiError));
}

AvahiStringList* stringListFromTXT(const TXTRecord& record) {
    AvahiStringList* list = nullptr;
    for (const auto& [key, value] : record)
        list = avahi_string_list_add_pair_arbitrary(list, key.c_str(), value.data(), value.size());
    return list;
}

TXTRecord TXTFromStringList(AvahiStringList* list) {
    TXTRecord record;
    for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
        char* key = nullptr;
        char* value = nullptr;
        size_t size = 0;
        if (avahi_string_list_get_pair(item, &key, &value, &size) != 0) continue;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(value);
        record[key] = foundation::Data(bytes, bytes + (value ? size : 0));
        avahi_free(key);
        avahi_free(value);
    }
    return record;
}

// Runs `fn` from the main run loop unless the operation owning `alive` has ended by then. Every
// callback of an operation is delivered this way, so that its receiver may end the operation
// (and free Avahi's objects) without Avahi's code on the stack.
void later(const std::shared_ptr<bool>& alive, std::function<void()> fn) {
    RunLoop::main().post([alive, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

}  // namespace

// The state shared by the backend and its operations: the poll adapter and the client.
struct AvahiBonjourBackend::Impl : std::enable_shared_from_this<AvahiBonjourBackend::Impl> {
    struct FdEntry {
        foundation::FdWatch watch;
        uint32_t events = 0;
        std::vector<std::shared_ptr<AvahiWatch>> watches;
    };

    AvahiPoll poll{};
    AvahiClient* client = nullptr;
    bool reportedUnreachable = false;
    std::map<int, FdEntry> fds;
    std::map<AvahiTimeout*, std::shared_ptr<AvahiTimeout>> timeouts;
    std::set<AvahiOperation*> operations;
    std::vector<AvahiClient*> lostClients;  // freed from the run loop, outside their callbacks

    Impl();
    ~Impl();

    bool ensureClient();
    void clientChanged(AvahiClient* c, AvahiClientState state);
    void startWaitingOperations();

    void updateFd(int fd);
    void fdReady(int fd, uint32_t events);
    void schedule(const std::shared_ptr<AvahiTimeout>& timeout, const struct timeval* tv);
};

// One publication, search or resolution. It waits for the client to run before it starts.
struct AvahiOperation {
    std::shared_ptr<AvahiBonjourBackend::Impl> impl;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    bool started = false;

    explicit AvahiOperation(std::shared_ptr<AvahiBonjourBackend::Impl> i) : impl(std::move(i)) {
        impl->operations.insert(this);
    }
    virtual ~AvahiOperation() {
        *alive = false;
        impl->operations.erase(this);
    }

    // Called once the client runs (again).
    virtual void start(AvahiClient* client) = 0;
    // The client is gone, and with it the Avahi objects of the operation.
    virtual void detach() = 0;
    // The operation cannot go on; its owner hears it from the run loop.
    virtual void fail(const Dictionary& error) = 0;
    // The client withdraws its records (host name collision, re-registration).
    virtual void suspend() {}

    // Starts at once when the client runs, waits when it is connecting, fails without one.
    void begin() {
        if (!impl->ensureClient()) {
            fail(foundation::netServicesErrorDictionary(foundation::NetServicesUnknownError,
                                                        "The Avahi daemon cannot be reached"));
            return;
        }
        // Connecting may have started it already.
        if (!started && avahi_client_get_state(impl->client) == AVAHI_CLIENT_S_RUNNING) {
            started = true;
            start(impl->client);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Poll adapter

namespace {

AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void* userdata) {
    auto* impl = static_cast<AvahiBonjourBackend::Impl*>(api->userdata);
    auto watch =
        std::make_shared<AvahiWatch>(AvahiWatch{impl, fd, events, callback, userdata, AvahiWatchEvent(0), false});
    impl->fds[fd].watches.push_back(watch);
    impl->updateFd(fd);
    return watch.get();
}

void watchUpdate(AvahiWatch* watch, AvahiWatchEvent events) {
    watch->events = events;
    watch->impl->updateFd(watch->fd);
}

AvahiWatchEvent watchGetEvents(AvahiWatch* watch) { return watch->revents; }

void watchFree(AvahiWatch* watch) {
    watch->dead = true;
    auto* impl = watch->impl;
    int fd = watch->fd;
    auto it = impl->fds.find(fd);
    if (it == impl->fds.end()) return;
    std::erase_if(it->second.watches, [&](const std::shared_ptr<AvahiWatch>& w) { return w.get() == watch; });
    impl->updateFd(fd);  // may free `watch`
}

AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv, AvahiTimeoutCallback callback,
                         void* userdata) {
    auto* impl = static_cast<AvahiBonjourBackend::Impl*>(api->userdata);
    auto timeout = std::make_shared<AvahiTimeout>(AvahiTimeout{impl, callback, userdata, nullptr, false});
    impl->timeouts[timeout.get()] = timeout;
    if (tv) impl->schedule(timeout, tv);
    return timeout.get();
}

void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv) {
    if (timeout->timer) timeout->timer->invalidate();
    timeout->timer.reset();
    auto it = timeout->impl->timeouts.find(timeout);
    if (tv && it != timeout->impl->timeouts.end()) timeout->impl->schedule(it->second, tv);
}

void timeoutFree(AvahiTimeout* timeout) {
    if (timeout->timer) timeout->timer->invalidate();
    timeout->timer.reset();
    timeout->dead = true;
    timeout->impl->timeouts.erase(timeout);  // may free `timeout`
}

void clientCallback(AvahiClient* client, AvahiClientState state, void* userdata) {
    static_cast<AvahiBonjourBackend::Impl*>(userdata)->clientChanged(client, state);
}

}  // namespace

AvahiBonjourBackend::Impl::Impl() {
    poll.userdata = this;
    poll.watch_new = watchNew;
    poll.watch_update = watchUpdate;
    poll.watch_get_events = watchGetEvents;
    poll.watch_free = watchFree;
    poll.timeout_new = timeoutNew;
    poll.timeout_update = timeoutUpdate;
    poll.timeout_free = timeoutFree;
}

AvahiBonjourBackend::Impl::~Impl() {
    // Cleared first, so that a state change reported while it is freed is not taken for a loss.
    AvahiClient* current = client;
    client = nullptr;
    if (current) avahi_client_free(current);
    for (AvahiClient* lost : lostClients) avahi_client_free(lost);
    for (auto& [raw, timeout] : timeouts)
        if (timeout->timer) timeout->timer->invalidate();
}

void AvahiBonjourBackend::Impl::updateFd(int fd) {
    auto it = fds.find(fd);
    if (it == fds.end()) return;
    FdEntry& entry = it->second;
    uint32_t want = 0;
    for (const auto& w : entry.watches) {
        if (w->events & AVAHI_WATCH_IN) want |= foundation::FdEvent::Readable;
        if (w->events & AVAHI_WATCH_OUT) want |= foundation::FdEvent::Writable;
    }
    if (want != entry.events || (want != 0 && !entry.watch.isActive())) {
        // One run-loop watch per descriptor, for what all of Avahi's watches on it wait for.
        entry.watch.cancel();
        entry.events = want;
        if (want != 0)
            entry.watch = RunLoop::main().watchFd(fd, want, [this, fd](uint32_t events) { fdReady(fd, events); });
    }
    if (entry.watches.empty()) fds.erase(it);
}

void AvahiBonjourBackend::Impl::fdReady(int fd, uint32_t events) {
    auto it = fds.find(fd);
    if (it == fds.end()) return;
    std::vector<std::shared_ptr<AvahiWatch>> watches = it->second.watches;
    int happened = 0;
    if (events & foundation::FdEvent::Readable) happened |= AVAHI_WATCH_IN;
    if (events & foundation::FdEvent::Writable) happened |= AVAHI_WATCH_OUT;
    if (events & foundation::FdEvent::Error) happened |= AVAHI_WATCH_ERR;
    if (events & foundation::FdEvent::HangUp) happened |= AVAHI_WATCH_HUP;
    for (const auto& w : watches) {
        if (w->dead || w->events == 0) continue;
        int mine = happened & (w->events | AVAHI_WATCH_ERR | AVAHI_WATCH_HUP);
        if (!mine) continue;
        w->revents = AvahiWatchEvent(mine);
        w->callback(w.get(), fd, w->revents, w->userdata);
        w->revents = AvahiWatchEvent(0);
    }
}

void AvahiBonjourBackend::Impl::schedule(const std::shared_ptr<AvahiTimeout>& timeout, const struct timeval* tv) {
    // Avahi's deadlines are wall-clock times; the run loop counts seconds from now.
    struct timeval now;
    gettimeofday(&now, nullptr);
    double delay = double(tv->tv_sec - now.tv_sec) + double(tv->tv_usec - now.tv_usec) / 1e6;
    if (delay < 0) delay = 0;
    std::weak_ptr<AvahiTimeout> weak = timeout;
    timeout->timer = RunLoop::main().scheduleTimer(delay, false, RunLoopMode::Common, [weak](foundation::Timer&) {
        auto t = weak.lock();
        if (!t || t->dead) return;
        t->timer.reset();
        t->callback(t.get(), t->userdata);
    });
}

bool AvahiBonjourBackend::Impl::ensureClient() {
    if (client) return true;
    int error = 0;
    AvahiClient* made = avahi_client_new(&poll, AvahiClientFlags(0), clientCallback, this, &error);
    if (!made) {
        if (!reportedUnreachable)
            foundation::logf(
                "Bonjour: the Avahi daemon cannot be reached (%s); services are neither published "
                "nor found.",
                avahi_strerror(error));
        reportedUnreachable = true;
        return false;
    }
    client = made;
    reportedUnreachable = false;
    if (avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING) startWaitingOperations();
    return true;
}

void AvahiBonjourBackend::Impl::startWaitingOperations() {
    std::vector<AvahiOperation*> waiting(operations.begin(), operations.end());
    for (AvahiOperation* op : waiting) {
        if (!operations.count(op) || op->started) continue;
        op->started = true;
        op->start(client);
    }
}

void AvahiBonjourBackend::Impl::clientChanged(AvahiClient* c, AvahiClientState state) {
    // While avahi_client_new runs, `client` is not set yet; it sorts out the start itself.
    if (c != client) return;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING: startWaitingOperations(); break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING: {
        std::vector<AvahiOperation*> all(operations.begin(), operations.end());
        for (AvahiOperation* op : all)
            if (operations.count(op)) op->suspend();
        break;
    }
    case AVAHI_CLIENT_FAILURE: {
        int error = avahi_client_errno(c);
        foundation::logf("Bonjour: the connection to the Avahi daemon ended (%s).", avahi_strerror(error));
        client = nullptr;
        lostClients.push_back(c);
        std::vector<AvahiOperation*> all(operations.begin(), operations.end());
        for (AvahiOperation* op : all) {
            if (!operations.count(op)) continue;
            op->detach();
            op->started = false;
            op->fail(errorFor(error));
        }
        std::weak_ptr<Impl> weak = weak_from_this();
        RunLoop::main().post([weak, c] {
            auto self = weak.lock();
            if (!self) return;  // the destructor freed it
            std::erase(self->lostClients, c);
            avahi_client_free(c);
        });
        break;
    }
    case AVAHI_CLIENT_CONNECTING: break;
    }
}

// ---------------------------------------------------------------------------------------------
// Operations

namespace {

struct PublishOperation final : AvahiOperation, foundation::BonjourBackend::Publication {
    ServiceIdentity identity;
    int port;
    TXTRecord txt;
    std::shared_ptr<foundation::BonjourBackend::PublishCallbacks> callbacks;
    AvahiEntryGroup* group = nullptr;
    bool added = false;

    PublishOperation(std::shared_ptr<AvahiBonjourBackend::Impl> impl, ServiceIdentity id, int p, TXTRecord t,
                     foundation::BonjourBackend::PublishCallbacks c)
        : AvahiOperation(std::move(impl)),
          identity(std::move(id)),
          port(p),
          txt(std::move(t)),
          callbacks(std::make_shared<foundation::BonjourBackend::PublishCallbacks>(std::move(c))) {}

    ~PublishOperation() override {
        if (group) avahi_entry_group_free(group);
    }

    static void groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<PublishOperation*>(userdata);
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            later(self->alive, [callbacks = self->callbacks, name = self->identity.name] {
                if (callbacks->published) callbacks->published(name);
            });
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Someone else has the name: take the next one, as Bonjour renames on its own.
            self->rename();
            avahi_entry_group_reset(g);
            self->add(g);
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            self->fail(errorFor(avahi_client_errno(avahi_entry_group_get_client(g))));
            break;
        default: break;
        }
    }

    void rename() {
        char* next = avahi_alternative_service_name(identity.name.c_str());
        if (next) identity.name = next;
        avahi_free(next);
    }

    void add(AvahiEntryGroup* g) {
        std::string domain = avahiDomain(identity.domain);
        AvahiStringList* list = stringListFromTXT(txt);
        int result = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            result = avahi_entry_group_add_service_strlst(g, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                          identity.name.c_str(), identity.type.c_str(), orNull(domain),
                                                          nullptr, uint16_t(port), list);
            if (result != AVAHI_ERR_COLLISION) break;
            rename();
        }
        avahi_string_list_free(list);
        if (result >= 0) result = avahi_entry_group_commit(g);
        if (result < 0) {
            fail(errorFor(result));
            return;
        }
        added = true;
    }

    void start(AvahiClient* client) override {
        if (!group) group = avahi_entry_group_new(client, groupCallback, this);
        if (!group) {
            fail(errorFor(avahi_client_errno(client)));
            return;
        }
        add(group);
    }

    void suspend() override {
        if (group) avahi_entry_group_reset(group);
        added = false;
        started = false;
    }

    void detach() override {
        group = nullptr;
        added = false;
    }

    void fail(const Dictionary& error) override {
        later(alive, [callbacks = callbacks, error] {
            if (callbacks->failed) callbacks->failed(error);
        });
    }

    bool setTXTRecord(const TXTRecord& record) override {
        if (group && added) {
            AvahiStringList* list = stringListFromTXT(record);
            std::string domain = avahiDomain(identity.domain);
            int result = avahi_entry_group_update_service_txt_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                                     AvahiPublishFlags(0), identity.name.c_str(),
                                                                     identity.type.c_str(), orNull(domain), list);
            avahi_string_list_free(list);
            if (result < 0) return false;
        }
        txt = record;
        return true;
    }
};

struct BrowseOperation final : AvahiOperation, foundation::BonjourBackend::Operation {
    std::string type;
    std::string domain;
    std::shared_ptr<foundation::BonjourBackend::BrowseCallbacks> callbacks;
    AvahiServiceBrowser* browser = nullptr;
    // Avahi reports a service once per interface and address family; the owner hears of it
    // when its first instance appears and when its last goes.
    std::map<std::tuple<std::string, std::string, std::string>, std::set<std::pair<int, int>>> instances;

    BrowseOperation(std::shared_ptr<AvahiBonjourBackend::Impl> impl, std::string t, std::string d,
                    foundation::BonjourBackend::BrowseCallbacks c)
        : AvahiOperation(std::move(impl)),
          type(std::move(t)),
          domain(std::move(d)),
          callbacks(std::make_shared<foundation::BonjourBackend::BrowseCallbacks>(std::move(c))) {}

    ~BrowseOperation() override {
        if (browser) avahi_service_browser_free(browser);
    }

    static void browseCallback(AvahiServiceBrowser* b, AvahiIfIndex interface, AvahiProtocol protocol,
                               AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                               AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<BrowseOperation*>(userdata);
        switch (event) {
        case AVAHI_BROWSER_NEW:
        case AVAHI_BROWSER_REMOVE: {
            ServiceIdentity identity{name ? name : "", type ? type : "", normalisedDomain(domain)};
            auto key = std::make_tuple(identity.name, identity.type, identity.domain);
            auto& seen = self->instances[key];
            bool wasKnown = !seen.empty();
            if (event == AVAHI_BROWSER_NEW)
                seen.insert({interface, protocol});
            else
                seen.erase({interface, protocol});
            bool isKnown = !seen.empty();
            if (!isKnown) self->instances.erase(key);
            if (wasKnown == isKnown) break;
            later(self->alive, [callbacks = self->callbacks, identity, isKnown] {
                auto& callback = isKnown ? callbacks->found : callbacks->lost;
                if (callback) callback(identity);
            });
            break;
        }
        case AVAHI_BROWSER_FAILURE:
            self->fail(errorFor(avahi_client_errno(avahi_service_browser_get_client(b))));
            break;
        default: break;
        }
    }

    void start(AvahiClient* client) override {
        browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(),
                                            orNull(avahiDomain(domain)), AvahiLookupFlags(0), browseCallback, this);
        if (!browser) fail(errorFor(avahi_client_errno(client)));
    }

    void detach() override {
        browser = nullptr;
        instances.clear();
    }

    void fail(const Dictionary& error) override {
        later(alive, [callbacks = callbacks, error] {
            if (callbacks->failed) callbacks->failed(error);
        });
    }
};

struct ResolveOperation final : AvahiOperation, foundation::BonjourBackend::Operation {
    ServiceIdentity identity;
    std::shared_ptr<foundation::BonjourBackend::ResolveCallbacks> callbacks;
    AvahiServiceResolver* resolver = nullptr;

    ResolveOperation(std::shared_ptr<AvahiBonjourBackend::Impl> impl, ServiceIdentity id,
                     foundation::BonjourBackend::ResolveCallbacks c)
        : AvahiOperation(std::move(impl)),
          identity(std::move(id)),
          callbacks(std::make_shared<foundation::BonjourBackend::ResolveCallbacks>(std::move(c))) {}

    ~ResolveOperation() override {
        if (resolver) avahi_service_resolver_free(resolver);
    }

    static void resolveCallback(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                                const char*, const char*, const char*, const char* hostName,
                                const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                                AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<ResolveOperation*>(userdata);
        if (event != AVAHI_RESOLVER_FOUND) {
            self->fail(errorFor(avahi_client_errno(avahi_service_resolver_get_client(r))));
            return;
        }
        foundation::ResolvedService resolved;
        resolved.hostName = hostName ? hostName : "";
        if (address) {
            char text[AVAHI_ADDRESS_STR_MAX];
            if (avahi_address_snprint(text, sizeof text, address)) resolved.addresses.push_back(text);
        }
        resolved.port = port;
        resolved.txtRecord = TXTFromStringList(txt);
        later(self->alive, [callbacks = self->callbacks, resolved] {
            if (callbacks->resolved) callbacks->resolved(resolved);
        });
    }

    void start(AvahiClient* client) override {
        std::string domain = avahiDomain(identity.domain);
        resolver = avahi_service_resolver_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, identity.name.c_str(),
                                              identity.type.c_str(), orNull(domain), AVAHI_PROTO_UNSPEC,
                                              AvahiLookupFlags(0), resolveCallback, this);
        if (!resolver) fail(errorFor(avahi_client_errno(client)));
    }

    void detach() override { resolver = nullptr; }

    void fail(const Dictionary& error) override {
        later(alive, [callbacks = callbacks, error] {
            if (callbacks->failed) callbacks->failed(error);
        });
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------

AvahiBonjourBackend::AvahiBonjourBackend() : impl_(std::make_shared<Impl>()) {}

AvahiBonjourBackend::~AvahiBonjourBackend() = default;

bool AvahiBonjourBackend::connect() { return impl_->ensureClient(); }

std::unique_ptr<foundation::BonjourBackend::Publication> AvahiBonjourBackend::publish(const ServiceIdentity& service,
                                                                                      int port,
                                                                                      const TXTRecord& txtRecord,
                                                                                      PublishCallbacks callbacks) {
    auto op = std::make_unique<PublishOperation>(impl_, service, port, txtRecord, std::move(callbacks));
    op->begin();
    return op;
}

std::unique_ptr<foundation::BonjourBackend::Operation> AvahiBonjourBackend::browse(const std::string& type,
                                                                                   const std::string& domain,
                                                                                   BrowseCallbacks callbacks) {
    auto op = std::make_unique<BrowseOperation>(impl_, type, domain, std::move(callbacks));
    op->begin();
    return op;
}

std::unique_ptr<foundation::BonjourBackend::Operation> AvahiBonjourBackend::resolve(const ServiceIdentity& service,
                                                                                    ResolveCallbacks callbacks) {
    auto op = std::make_unique<ResolveOperation>(impl_, service, std::move(callbacks));
    op->begin();
    return op;
}

}  // namespace platform
