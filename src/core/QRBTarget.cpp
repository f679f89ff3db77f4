#include "core/QRBTarget.h"

#include "core/QRBTransport.h"
#include "foundation/Format.h"

FND_REGISTER_CLASS(QRBTarget)

namespace {
constexpr const char* kMemoKey = "memo";
constexpr const char* kProtoKey = "QRBHostInfoProto";
constexpr const char* kProtectedKey = "protected";
constexpr const char* kServiceNameKey = "QRBHostInfoServiceName";
constexpr const char* kServiceDomainKey = "QRBHostInfoServiceDomain";
constexpr const char* kHostKey = "QRBHostInfoHost";
constexpr const char* kPortKey = "QRBHostInfoPort";

// 0 and 1 both mean UDP.
bool sameTransport(int32_t proto, int serviceProtocol) { return QRBTransportProtocolMatches(proto, serviceProtocol); }
}  // namespace

QRBTarget::QRBTarget() = default;

QRBTarget::~QRBTarget() { setOscAddress(nullptr); }

void QRBTarget::setOscAddress(lo_address address) {
    if (address == oscAddress_) return;
    if (oscAddress_) lo_address_free(oscAddress_);
    oscAddress_ = address;
}

void QRBTarget::clearDestination() {
    service_.reset();
    serviceName_.reset();
    serviceDomain_.reset();
    resolvingService_ = false;
    host_.reset();
    port_ = 0;
    proto_ = LO_UDP;
}

void QRBTarget::setTargetSpec(const std::optional<std::string>& spec) {
    if (!spec || spec->empty()) {
        protected_ = false;
        setService(nullptr, false);
        return;
    }
    int protocol = LO_UDP;
    std::string host;
    long port = 0;
    if (!QRBParseOSCAddressString(*spec, &protocol, &host, &port, nullptr)) return;
    // Only UDP and TCP can be sent to; any other scheme counts as UDP.
    if (protocol != LO_TCP) protocol = LO_UDP;
    protected_ = true;
    setService(nullptr, false);
    host_ = host;
    port_ = static_cast<int32_t>(port);
    proto_ = protocol;
    invalidate();
}

std::optional<std::string> QRBTarget::targetSpec() const {
    // A protocol read from a document that names neither transport has no URL.
    if (serviceName_ || !host_ || (proto_ != 0 && proto_ != LO_UDP && proto_ != LO_TCP)) return std::nullopt;
    return QRBOSCURLForHostAndPort(proto_, host_, port_);
}

void QRBTarget::setService(const std::shared_ptr<foundation::NetService>& service, bool userInitiated) {
    if (userInitiated) protected_ = true;
    if (service_) service_->stop();
    if (!service) {
        clearDestination();
    } else if (service->port() != -1 && !service->hostName().empty()) {
        service_.reset();
        serviceName_ = service->name();
        resolvingService_ = false;
        host_ = service->hostName();
        port_ = service->port();
        proto_ = QRBTransportProtocolForServiceType(service->type());
    } else {
        serviceName_ = service->name();
        serviceDomain_ = service->domain();
        proto_ = QRBTransportProtocolForServiceType(service->type());
        resolvingService_ = true;
        service_ = service;
    }
    invalidate();
}

void QRBTarget::notifyServiceFound(const std::shared_ptr<foundation::NetService>& service) {
    // Resolving a found service that the target names comes with the targets' Bonjour handling.
}

void QRBTarget::notifyServiceLost(const std::shared_ptr<foundation::NetService>& service) {
    if (!service || !matchesService(*service)) return;
    host_.reset();
    port_ = 0;
    invalidate();
}

bool QRBTarget::matchesService(const foundation::NetService& service) const {
    return serviceName_ && *serviceName_ == service.name() && serviceDomain_ && *serviceDomain_ == service.domain() &&
           sameTransport(proto_, QRBTransportProtocolForServiceType(service.type()));
}

bool QRBTarget::isConfigured() const { return serviceName_ || (host_ && port_ > 0); }

bool QRBTarget::isEqualToTarget(const QRBTarget& other) const {
    if (this == &other) return true;
    if (serviceName_) return other.serviceName_ == serviceName_ && other.serviceDomain_ == serviceDomain_;
    if (host_ && port_ >= 0) return other.host_ == host_ && other.port_ == port_;
    return !other.serviceName_ && !other.host_ && other.port_ == 0;
}

lo_address QRBTarget::oscAddress() {
    if (!oscAddress_) configureClient();
    return oscAddress_;
}

void QRBTarget::configureClient() {
    invalidate();
    if (host_ && port_ > 0 && port_ <= 65535 && (proto_ == 0 || proto_ == LO_UDP || proto_ == LO_TCP)) {
        if (proto_ == 0) proto_ = LO_UDP;
        std::string port = foundation::format("%d", port_);
        oscAddress_ = lo_address_new_with_proto(proto_, host_->c_str(), port.c_str());
    }
    if (!endpoint_)
        endpoint_ = std::make_shared<QRBMessageEndpoint>(kEndpointCategoryName, QRBMessageEndpoint::kDirectionOutgoing);
    std::string description;
    if (memo_ && !memo_->empty()) {
        description = *memo_;
    } else if (auto spec = targetSpec()) {
        description = *spec;
    } else if (serviceName_) {
        description = *serviceName_;
    }
    if (!oscAddress_) description += kUnavailableSuffix;
    endpoint_->setStatusDescription(description);
}

void QRBTarget::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(memo_ ? foundation::Value(*memo_) : foundation::Value(), kMemoKey);
    coder.encodeInt32(proto_, kProtoKey);
    coder.encodeBool(protected_, kProtectedKey);
    if (serviceName_) {
        coder.encodeObject(foundation::Value(*serviceName_), kServiceNameKey);
        coder.encodeObject(serviceDomain_ ? foundation::Value(*serviceDomain_) : foundation::Value(), kServiceDomainKey);
    } else {
        coder.encodeObject(host_ ? foundation::Value(*host_) : foundation::Value(), kHostKey);
        coder.encodeInt32(port_, kPortKey);
    }
}

void QRBTarget::initWithCoder(foundation::KeyedUnarchiver& coder) {
    memo_ = coder.decodeString(kMemoKey);
    proto_ = coder.decodeInt32(kProtoKey);
    protected_ = coder.decodeBool(kProtectedKey);
    serviceName_ = coder.decodeString(kServiceNameKey);
    serviceDomain_ = coder.decodeString(kServiceDomainKey);
    host_ = coder.decodeString(kHostKey);
    port_ = coder.decodeInt32(kPortKey);
    if (serviceName_) {
        host_.reset();
        port_ = 0;
        if (!serviceDomain_) serviceDomain_ = kLocalDomain;
    }
    reservedIndex_ = 0;
}
