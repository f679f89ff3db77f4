#include "core/osc/QRBTarget.h"

#include "core/osc/QRBTransport.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"
#include "foundation/RunLoop.h"
#include "foundation/UndoManager.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Archive keys.
constexpr const char* kArchiveMemoKey = "memo";
constexpr const char* kArchiveProtoKey = "QRBHostInfoProto";
constexpr const char* kArchiveProtectedKey = "protected";
constexpr const char* kArchiveServiceNameKey = "QRBHostInfoServiceName";
constexpr const char* kArchiveServiceDomainKey = "QRBHostInfoServiceDomain";
constexpr const char* kArchiveHostKey = "QRBHostInfoHost";
constexpr const char* kArchivePortKey = "QRBHostInfoPort";

constexpr const char* kEmDash = "\u2014";

foundation::Value optionalString(const std::optional<std::string>& s) {
    return s ? foundation::Value(*s) : foundation::Value();
}

bool containsIgnoringCase(const std::string& text, const std::string& part) {
    auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

// A numeric IPv4 or IPv6 address (a scoped one too): getaddrinfo answers it without asking any
// resolver.
bool isNumericHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return false;
    freeaddrinfo(result);
    return true;
}

// getaddrinfo, preferring an IPv4 address when the name has one: most OSC devices listen on IPv4
// only.
std::optional<std::string> systemResolve(const std::string& host, int protocol, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = protocol == LO_TCP ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* result = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (status != 0) {
        if (error) *error = gai_strerror(status);
        return std::nullopt;
    }
    const addrinfo* chosen = result;
    for (const addrinfo* entry = result; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            chosen = entry;
            break;
        }
    }
    char text[NI_MAXHOST];
    const int named = getnameinfo(chosen->ai_addr, chosen->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    freeaddrinfo(result);
    if (named != 0) {
        if (error) *error = gai_strerror(named);
        return std::nullopt;
    }
    return std::string(text);
}

std::mutex resolverMutex;
QRBTarget::HostResolver& installedResolver() {
    static QRBTarget::HostResolver resolver;
    return resolver;
}

QRBTarget::HostResolver currentResolver() {
    std::lock_guard lock(resolverMutex);
    return installedResolver() ? installedResolver() : QRBTarget::HostResolver(systemResolve);
}

bool isDestinationKey(const std::string& key) {
    return key == QRBTarget::kHostKey || key == QRBTarget::kPortKey || key == QRBTarget::kProtoKey ||
           key == QRBTarget::kServiceNameKey || key == QRBTarget::kServiceDomainKey;
}

}  // namespace

// ---- Host name lookup --------------------------------------------------------------------------

// One lookup of a host name, run on a thread of its own. The thread writes the outcome under the
// mutex and then tells the main loop; everything else is main-thread state.
struct QRBTarget::HostLookup {
    HostLookup(std::string host, int protocol) : host(std::move(host)), protocol(protocol) {}

    // What was asked.
    const std::string host;
    const int protocol;

    // The outcome, under the mutex.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::optional<std::string> numericHost;
    std::string error;

    // Main thread.
    bool failureNoticed = false;
    double failedAt = 0;

    void run(const HostResolver& resolver) {
        std::string failure;
        std::optional<std::string> found;
        try {
            found = resolver(host, protocol, &failure);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        std::lock_guard lock(mutex);
        numericHost = std::move(found);
        error = std::move(failure);
        done = true;
        finished.notify_all();
    }
};

void QRBTarget::setHostResolver(HostResolver resolver) {
    std::lock_guard lock(resolverMutex);
    installedResolver() = std::move(resolver);
}

std::optional<std::string> QRBTarget::numericHost() {
    if (!host_) return std::nullopt;
    if (isNumericHost(*host_)) return *host_;

    foundation::RunLoop& loop = foundation::RunLoop::main();
    if (lookup_ && lookup_->host == *host_ && lookup_->protocol == proto_) {
        std::unique_lock lock(lookup_->mutex);
        if (!lookup_->done) return std::nullopt;  // still under way
        if (lookup_->numericHost) return lookup_->numericHost;
        lock.unlock();
        // Seen here before the lookup's own announcement arrived: reported here.
        if (!lookup_->failureNoticed) lookupFailed(*lookup_);
        if (loop.now() - lookup_->failedAt < kHostLookupRetryInterval) return std::nullopt;
    }

    auto lookup = std::make_shared<HostLookup>(*host_, proto_);
    lookup_ = lookup;
    std::weak_ptr<QRBTarget> weak = std::static_pointer_cast<QRBTarget>(weak_from_this().lock());
    try {
        std::thread([lookup, weak, &loop, resolver = currentResolver()] {
            lookup->run(resolver);
            loop.post([lookup, weak] {
                if (auto target = weak.lock()) target->hostLookupFinished(lookup);
            });
        }).detach();
    } catch (const std::system_error& error) {
        std::lock_guard lock(lookup->mutex);
        lookup->done = true;
        lookup->error = error.what();
    }

    // A name the system knows (the hosts file, a cache) answers at once; a slow resolver holds
    // the main loop no longer than this.
    std::unique_lock lock(lookup->mutex);
    lookup->finished.wait_for(lock, std::chrono::duration<double>(kHostLookupWait), [&] { return lookup->done; });
    if (!lookup->done) return std::nullopt;
    if (lookup->numericHost) return lookup->numericHost;
    lock.unlock();
    lookupFailed(*lookup);
    return std::nullopt;
}

void QRBTarget::lookupFailed(HostLookup& lookup) {
    std::unique_lock lock(lookup.mutex);
    const std::string error = lookup.error;
    lock.unlock();
    lookup.failureNoticed = true;
    lookup.failedAt = foundation::RunLoop::main().now();
    foundation::logf("OSC target host %s could not be resolved: %s", lookup.host.c_str(), error.c_str());
}

void QRBTarget::hostLookupFinished(const std::shared_ptr<HostLookup>& lookup) {
    if (lookup != lookup_) return;       // the destination changed meanwhile
    if (lookup->failureNoticed) return;  // seen by the send that waited for it
    std::unique_lock lock(lookup->mutex);
    const bool found = lookup->numericHost.has_value();
    lock.unlock();
    if (!found) {
        lookupFailed(*lookup);
        return;
    }
    if (oscAddress_) return;
    willChangeValueForKey(kReadyToSendMessagesKey);
    configureClient();
    didChangeValueForKey(kReadyToSendMessagesKey);
}

// ---- Change announcements ----------------------------------------------------------------------

// Announces a group of keys around a change: every will-change before the first assignment,
// every did-change after the last. A change of destination also changes targetSpec and
// configured.
class QRBTarget::ChangeGroup {
public:
    ChangeGroup(QRBTarget& target, std::initializer_list<const char*> keys) : target_(target) {
        bool destination = false;
        for (const char* key : keys) {
            keys_.push_back(key);
            destination = destination || isDestinationKey(key);
        }
        if (destination) {
            keys_.push_back(kTargetSpecKey);
            keys_.push_back(kConfiguredKey);
        }
        for (const auto& key : keys_) target_.willChangeValueForKey(key);
    }
    ~ChangeGroup() {
        for (auto it = keys_.rbegin(); it != keys_.rend(); ++it) target_.didChangeValueForKey(*it);
    }
    ChangeGroup(const ChangeGroup&) = delete;
    ChangeGroup& operator=(const ChangeGroup&) = delete;

private:
    QRBTarget& target_;
    std::vector<std::string> keys_;
};

// ---- Life cycle --------------------------------------------------------------------------------

QRBTarget::QRBTarget() = default;

QRBTarget::~QRBTarget() {
    if (service_) {
        service_->setDelegate({});
        service_->stop();
    }
    setOscAddress(nullptr);
}

std::shared_ptr<foundation::UndoManager> QRBTarget::registeringUndoManager() const {
    auto undo = undoManager_.lock();
    return undo && undo->isUndoRegistrationEnabled() ? undo : nullptr;
}

// ---- Destinations ------------------------------------------------------------------------------

std::optional<QRBTarget::Spec> QRBTarget::parseTargetSpec(const std::string& text, std::string* error) {
    int protocol = LO_UDP;
    std::string host;
    long port = 0;
    if (!QRBParseOSCAddressString(text, &protocol, &host, &port, error)) return std::nullopt;
    if (protocol != LO_UDP && protocol != LO_TCP) {
        if (error) *error = kNeedsUDPOrTCP;
        return std::nullopt;
    }
    return Spec{protocol, std::move(host), static_cast<int32_t>(port)};
}

void QRBTarget::setTargetSpec(const std::optional<std::string>& text) {
    if (!text || text->empty()) {
        prepareUndo();
        setProtected(false);
        setService(nullptr, false);
        return;
    }
    // Checked before anything is registered, so that a refused edit leaves no empty undo step.
    std::optional<Spec> spec = parseTargetSpec(*text);
    if (!spec) return;
    prepareUndo();
    setProtected(true);
    {
        ChangeGroup change(*this, {kHostKey, kPortKey, kProtoKey});
        setService(nullptr, false);
        host_ = spec->host;
        port_ = spec->port;
        proto_ = spec->protocol;
    }
    invalidate();
}

std::optional<std::string> QRBTarget::targetSpec() const {
    if (serviceName_) {
        std::string suffix;
        const std::string domain = serviceDomain_.value_or(kLocalDomain);
        if (domain == kLocalDomain)
            suffix = "";
        else if (containsIgnoringCase(domain, kICloudDomainMark))
            suffix = kICloudDomainSuffix;
        else
            suffix = " (" + domain + ")";
        return foundation::format("%s %s%s %s", serviceName_->c_str(), kEmDash, suffix.c_str(),
                                  QRBTransportProtocolDisplayName(proto_).c_str());
    }
    return QRBOSCURLForHostAndPort(proto_, host_, port_);
}

void QRBTarget::prepareUndo() {
    auto undo = registeringUndoManager();
    if (!undo) return;
    auto me = self();
    if (serviceName_ && !serviceName_->empty()) {
        if (!serviceDomain_) {
            ChangeGroup change(*this, {kServiceDomainKey});
            serviceDomain_ = kLocalDomain;
        }
        auto description =
            foundation::NetService::create(*serviceDomain_, QRBServiceTypeForTransportProtocol(proto_), *serviceName_);
        undo->registerUndo(this, [me, description] { me->setService(description, true); });
    } else {
        std::optional<std::string> url = QRBOSCURLForHostAndPort(proto_, host_, port_);
        undo->registerUndo(this, [me, url] { me->setTargetSpec(url); });
    }
}

// ---- Bonjour -----------------------------------------------------------------------------------

void QRBTarget::releaseService() {
    if (!service_) return;
    std::shared_ptr<foundation::NetService> service = std::move(service_);
    service->setDelegate({});
    service->stop();
}

void QRBTarget::resolve(const foundation::NetService& found) {
    releaseService();
    service_ = foundation::NetService::create(found.domain(), found.type(), found.name());
    service_->setDelegate(std::static_pointer_cast<foundation::NetServiceDelegate>(self()));
    service_->resolveWithTimeout(0);
}

void QRBTarget::setService(const std::shared_ptr<foundation::NetService>& service, bool userInitiated) {
    if (userInitiated) {
        prepareUndo();
        setProtected(true);
    }
    releaseService();
    if (!service) {
        ChangeGroup change(*this,
                           {kServiceNameKey, kServiceDomainKey, kResolvingServiceKey, kHostKey, kPortKey, kProtoKey});
        serviceName_.reset();
        serviceDomain_.reset();
        resolvingService_ = false;
        host_.reset();
        port_ = 0;
        proto_ = LO_UDP;
    } else if (service->port() != -1 && !service->hostName().empty()) {
        ChangeGroup change(*this, {kServiceNameKey, kResolvingServiceKey, kHostKey, kPortKey, kProtoKey});
        serviceName_ = service->name();
        resolvingService_ = false;
        host_ = service->hostName();
        port_ = service->port();
        proto_ = QRBTransportProtocolForServiceType(service->type());
    } else {
        ChangeGroup change(*this, {kServiceNameKey, kServiceDomainKey, kProtoKey, kResolvingServiceKey});
        serviceName_ = service->name();
        serviceDomain_ = service->domain();
        proto_ = QRBTransportProtocolForServiceType(service->type());
        resolvingService_ = true;
        resolve(*service);
    }
    invalidate();
}

void QRBTarget::notifyServiceFound(const std::shared_ptr<foundation::NetService>& service) {
    if (!service || resolvingService_ || !matchesService(*service)) return;
    {
        ChangeGroup change(*this, {kResolvingServiceKey});
        resolvingService_ = true;
    }
    resolve(*service);
}

void QRBTarget::notifyServiceLost(const std::shared_ptr<foundation::NetService>& service) {
    if (!service || !matchesService(*service)) return;
    {
        ChangeGroup change(*this, {kHostKey, kPortKey});
        host_.reset();
        port_ = 0;
    }
    invalidate();
}

void QRBTarget::netServiceDidResolveAddress(foundation::NetService& sender) {
    if (&sender != service_.get()) FND_INTERNAL_ERROR("Invalid parameter not satisfying: sender == self.service");
    std::shared_ptr<foundation::NetService> resolved = service_;
    setService(resolved, false);
    foundation::NotificationCenter::defaultCenter().post(kQRBTargetDidResolveServiceNotification,
                                                         foundation::NotificationObject(this));
}

void QRBTarget::netServiceDidNotResolve(foundation::NetService& sender, const foundation::Dictionary&) {
    if (&sender != service_.get()) return;
    // Still marked as resolving: later finds leave the target alone until its destination is set
    // again.
    releaseService();
}

bool QRBTarget::matchesService(const foundation::NetService& service) const {
    return serviceName_ && *serviceName_ == service.name() && serviceDomain_ && *serviceDomain_ == service.domain() &&
           QRBTransportProtocolMatches(proto_, QRBTransportProtocolForServiceType(service.type()));
}

std::string QRBTarget::serviceType() const {
    if (service_) return service_->type();
    return QRBServiceTypeForTransportProtocol(proto_);
}

// ---- State -------------------------------------------------------------------------------------

bool QRBTarget::isConfigured() const { return serviceName_ || (host_ && port_ > 0); }

bool QRBTarget::isEqualToTarget(const QRBTarget& other) const {
    if (this == &other) return true;
    if (serviceName_) return other.serviceName_ == serviceName_ && other.serviceDomain_ == serviceDomain_;
    if (host_ && port_ >= 0) return other.host_ == host_ && other.port_ == port_;
    return !other.serviceName_ && !other.host_ && other.port_ == 0;
}

void QRBTarget::setProtected(bool value) {
    if (value == protected_) return;
    if (auto undo = registeringUndoManager())
        undo->registerUndo(this, [me = self(), old = protected_] { me->setProtected(old); });
    willChangeValueForKey(kProtectedKey);
    protected_ = value;
    didChangeValueForKey(kProtectedKey);
}

void QRBTarget::setMemo(const std::optional<std::string>& memo) {
    if (memo == memo_) return;
    if (auto undo = registeringUndoManager()) {
        undo->registerUndo(this, [me = self(), old = memo_] { me->setMemo(old); });
        undo->setActionName(kEditMemoActionName);
    }
    willChangeValueForKey(kMemoKey);
    memo_ = memo;
    didChangeValueForKey(kMemoKey);
    // The monitor names the destination by its memo.
    if (endpoint_) refreshStatusDescription();
}

// ---- Sending -----------------------------------------------------------------------------------

lo_address QRBTarget::oscAddress() {
    if (!oscAddress_) configureClient();
    return oscAddress_;
}

void QRBTarget::setOscAddress(lo_address address) {
    if (address == oscAddress_) return;
    tcpConnection_.reset();
    datagramDestinationState_ = DatagramDestination::Unread;
    if (oscAddress_) lo_address_free(oscAddress_);
    oscAddress_ = address;
}

QRBTCPConnection* QRBTarget::tcpConnection() {
    lo_address address = oscAddress();
    if (!address || lo_address_get_protocol(address) != LO_TCP) return nullptr;
    if (!tcpConnection_) {
        const char* host = lo_address_get_hostname(address);
        const char* port = lo_address_get_port(address);
        if (!host || !port) return nullptr;
        tcpConnection_ = std::make_unique<QRBTCPConnection>(host, std::atoi(port));
    }
    return tcpConnection_.get();
}

const sockaddr_in* QRBTarget::udpIPv4Destination() {
    lo_address address = oscAddress();
    if (!address) return nullptr;
    if (datagramDestinationState_ == DatagramDestination::Unread) {
        datagramDestinationState_ = DatagramDestination::None;
        // Only what liblo's own lookup would turn into exactly one IPv4 address without asking a
        // resolver: a dotted address and a decimal port. Anything else is left to liblo.
        const char* host = lo_address_get_hostname(address);
        const char* port = lo_address_get_port(address);
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        unsigned number = 0;
        const char* portEnd = port ? port + std::strlen(port) : nullptr;
        if (lo_address_get_protocol(address) == LO_UDP && host && port &&
            inet_pton(AF_INET, host, &destination.sin_addr) == 1 &&
            std::from_chars(port, portEnd, number).ptr == portEnd && port != portEnd && number > 0 && number <= 65535) {
            destination.sin_port = htons(static_cast<uint16_t>(number));
            datagramDestination_ = destination;
            datagramDestinationState_ = DatagramDestination::IPv4;
        }
    }
    return datagramDestinationState_ == DatagramDestination::IPv4 ? &datagramDestination_ : nullptr;
}

void QRBTarget::invalidate() {
    setOscAddress(nullptr);
    lookup_.reset();
}

void QRBTarget::configureClient() {
    setOscAddress(nullptr);
    if (host_ && port_ > 0 && port_ <= 65535) {
        if (proto_ == 0) {
            ChangeGroup change(*this, {kProtoKey});
            proto_ = LO_UDP;
        }
        if (std::optional<std::string> numeric = numericHost()) {
            const std::string port = foundation::format("%d", port_);
            oscAddress_ = lo_address_new_with_proto(proto_, numeric->c_str(), port.c_str());
            datagramDestinationState_ = DatagramDestination::Unread;
        }
    }
    if (!endpoint_)
        endpoint_ = std::make_shared<QRBMessageEndpoint>(kEndpointCategoryName, QRBMessageEndpoint::kDirectionOutgoing);
    refreshStatusDescription();
}

void QRBTarget::refreshStatusDescription() {
    std::string description;
    if (memo_ && !memo_->empty())
        description = *memo_;
    else if (auto spec = targetSpec())
        description = *spec;
    if (!oscAddress_) description += kUnavailableSuffix;
    endpoint_->setStatusDescription(description);
}

// ---- Archive -----------------------------------------------------------------------------------

void QRBTarget::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(optionalString(memo_), kArchiveMemoKey);
    coder.encodeInt32(proto_, kArchiveProtoKey);
    coder.encodeBool(protected_, kArchiveProtectedKey);
    if (serviceName_) {
        coder.encodeObject(optionalString(serviceName_), kArchiveServiceNameKey);
        coder.encodeObject(optionalString(serviceDomain_), kArchiveServiceDomainKey);
    } else {
        coder.encodeObject(optionalString(host_), kArchiveHostKey);
        coder.encodeInt32(port_, kArchivePortKey);
    }
}

void QRBTarget::initWithCoder(foundation::KeyedUnarchiver& coder) {
    memo_ = coder.decodeString(kArchiveMemoKey);
    proto_ = coder.decodeInt32(kArchiveProtoKey);
    // Only UDP and TCP can be sent to (older versions accepted "osc.unix" destinations).
    if (proto_ != 0 && proto_ != LO_UDP && proto_ != LO_TCP) proto_ = LO_UDP;
    protected_ = coder.decodeBool(kArchiveProtectedKey);
    serviceName_ = coder.decodeString(kArchiveServiceNameKey);
    serviceDomain_ = coder.decodeString(kArchiveServiceDomainKey);
    host_ = coder.decodeString(kArchiveHostKey);
    port_ = coder.decodeInt32(kArchivePortKey);
    if (serviceName_) {
        host_.reset();
        port_ = 0;
        if (!serviceDomain_) serviceDomain_ = kLocalDomain;
    }
}
