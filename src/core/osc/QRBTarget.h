#pragma once
// One OSC output destination of a document: a host, a port and a transport typed by the user
// (a destination typed as "10.0.0.1:8000" or "osc.tcp://studio.local:9000"), or a
// Bonjour service that the target resolves to a host and a port. The manager owns 16 target
// slots and a local target aimed at the document's own UDP input; routes name a slot by index.
// From its destination a target makes, on demand, the liblo address the manager sends through,
// and it keeps the "OSC Output" endpoint under which the monitor lists what was sent to it.
//
// The liblo address is a cache: every change of destination drops it and the next send makes a
// new one. liblo itself looks a host name up (blocking getaddrinfo) at the first send through an
// address, and again at every send while the lookup fails, so a name it is handed could stall
// the main loop for the resolver's whole time-out on every message. A target therefore hands
// liblo numeric addresses only: a host name is looked up on a thread of its own, the first send
// waits for it at most kHostLookupWait, and until the lookup has answered the target has no
// address (its sends fail at once). A failed lookup is tried again at the first send after
// kHostLookupRetryInterval.
//
// liblo's TCP client connects and writes with blocking calls, so a TCP target's messages go over
// a connection of the target's own (QRBTCPConnection, made for the address and dropped with it);
// the liblo address still names the destination.
//
// Edits are undoable. The target announces its destination keys (host, port, proto,
// serviceName, serviceDomain, resolvingService, with the derived targetSpec and configured) as
// one group around each change of destination; memo and protected on their own.
//
// Main thread only; the Bonjour service calls its delegate on the main run loop.

#include "core/osc/QRBMessageEndpoint.h"
#include "core/osc/QRBTCPConnection.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/NetService.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"

#include <lo/lo.h>
#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>

namespace foundation {
class UndoManager;
}

class QRBTarget;
using QRBTargetPtr = std::shared_ptr<QRBTarget>;

// Posted with the target as object when its Bonjour service resolved to a host and a port.
inline constexpr const char* kQRBTargetDidResolveServiceNotification = "QRBTargetDidResolveServiceNotification";

class QRBTarget : public foundation::Object, public foundation::Observable, public foundation::NetServiceDelegate {
    FND_ARCHIVED_CLASS("QRBTarget", foundation::Object)

public:
    static constexpr const char* kEndpointCategoryName = "OSC Output";
    static constexpr const char* kLocalDomain = "local.";
    static constexpr const char* kUnavailableSuffix = " (unavailable)";
    static constexpr const char* kEditMemoActionName = "Edit OSC Target Memo";
    // The error of a destination whose scheme names a transport other than UDP and TCP.
    static constexpr const char* kNeedsUDPOrTCP =
        "OSC targets are reached over UDP or TCP.\n"
        "For example, to use TCP to IP 10.0.0.1 and port 8000, enter: osc.tcp://10.0.0.1:8000";
    // A wide-area Bonjour domain whose name contains iCloud's domain name is shown as " (iCloud)".
    static constexpr const char* kICloudDomainMark = "icloud.com";
    static constexpr const char* kICloudDomainSuffix = " (iCloud)";
    // How long the first send to a new host name waits for its lookup, and how soon a failed
    // lookup is tried again (seconds).
    static constexpr double kHostLookupWait = 0.25;
    static constexpr double kHostLookupRetryInterval = 5.0;
    // The slot of a target that the manager has not numbered (a new target, or one decoded
    // outside the manager's list).
    static constexpr int64_t kUnnumbered = std::numeric_limits<int64_t>::max();

    // Observable keys.
    static constexpr const char* kHostKey = "host";
    static constexpr const char* kPortKey = "port";
    static constexpr const char* kProtoKey = "proto";
    static constexpr const char* kServiceNameKey = "serviceName";
    static constexpr const char* kServiceDomainKey = "serviceDomain";
    static constexpr const char* kResolvingServiceKey = "resolvingService";
    static constexpr const char* kTargetSpecKey = "targetSpec";
    static constexpr const char* kConfiguredKey = "configured";
    static constexpr const char* kMemoKey = "memo";
    static constexpr const char* kProtectedKey = "protected";
    static constexpr const char* kReadyToSendMessagesKey = "readyToSendMessages";

    // A target destination as it was read.
    struct Spec {
        int protocol = LO_UDP;  // LO_UDP or LO_TCP
        std::string host;
        int32_t port = 0;  // 1 to 65535
    };
    // Reads a destination as the user types it (see QRBParseOSCAddressString): text without a
    // scheme is UDP. Refuses with an error text: no host, no port or a port outside 1 to 65535
    // (kQRBOSCAddressNeedsHostAndPort), and a scheme of another transport such as "osc.unix"
    // (kNeedsUDPOrTCP), which a target could never send to. Empty text gives none and no error.
    static std::optional<Spec> parseTargetSpec(const std::string& text, std::string* error = nullptr);

    // Looks a host name up for a transport: the numeric address, or none with the error text in
    // `error`. Runs on a thread of its own.
    using HostResolver =
        std::function<std::optional<std::string>(const std::string& host, int protocol, std::string* error)>;
    // The system's resolver (getaddrinfo) by default; tests put a scripted one in its place (null
    // gives the system's back). Lookups under way keep the one they started with.
    static void setHostResolver(HostResolver resolver);

    // An empty target: not configured, protocol 0 (UDP), not protected, not numbered.
    QRBTarget();
    ~QRBTarget() override;
    QRBTarget(const QRBTarget&) = delete;
    QRBTarget& operator=(const QRBTarget&) = delete;

    // ---- destination
    // The user's edit of the destination, undoable. Text that does not parse changes nothing and
    // registers nothing. Empty text clears the target (protocol UDP) and its protection; a valid
    // destination makes it that host target, protected.
    void setTargetSpec(const std::optional<std::string>& spec);
    // A service target: "<name> — <protocol>" ("Mixer — UDP"), with " (<domain>)" or " (iCloud)"
    // after the dash for a domain other than "local.". A host target: its OSC URL. None without
    // either.
    std::optional<std::string> targetSpec() const;
    // Binds the target to a service (null clears it). A resolved service gives its host and port
    // at once; another is resolved (its name, domain and protocol are taken now, the host and
    // port when it resolves). `userInitiated` makes the change undoable and protects the target.
    void setService(const std::shared_ptr<foundation::NetService>& service, bool userInitiated);
    // The manager's browsers found or lost a service. A found service that the target names is
    // resolved unless a resolution is under way or failed; a lost one takes the host and port
    // away, the name, domain and protocol stay for its return.
    void notifyServiceFound(const std::shared_ptr<foundation::NetService>& service);
    void notifyServiceLost(const std::shared_ptr<foundation::NetService>& service);
    // Same name, same domain and a matching transport (protocol 0 or 1 matches only UDP).
    bool matchesService(const foundation::NetService& service) const;
    // A service name, or a host with a port above 0.
    bool isConfigured() const;
    // Whether a send would find an address (made on demand).
    bool isReadyToSendMessages() { return oscAddress() != nullptr; }
    // The Bonjour type of the held service, else of the protocol.
    std::string serviceType() const;
    // Same object; service targets by name and domain; host targets by host and port; empty
    // targets with empty ones.
    bool isEqualToTarget(const QRBTarget& other) const;

    // ---- sending
    // The liblo address: the one kept, else the one configureClient makes; null when the target
    // has no usable destination yet (or at all).
    lo_address oscAddress();
    // Frees the address held and keeps `address` (owned from now on). The TCP connection goes
    // with the address it was made for.
    void setOscAddress(lo_address address);
    // What a TCP target sends through instead of liblo's blocking client (see QRBTCPConnection):
    // made on demand for the address held, to its host and port; null without a TCP address.
    QRBTCPConnection* tcpConnection();
    // The socket address of a UDP address whose host is a dotted IPv4 address, read from the
    // address once and kept with it, so that a send needs no lookup; null for any other address
    // (and without one).
    const sockaddr_in* udpIPv4Destination();
    // Drops the address and what is known of the host's numeric address; the next send makes
    // both anew.
    void invalidate();
    // Remakes the address and refreshes the endpoint's status description.
    void configureClient();
    // Made by the first configureClient: "OSC Output", outgoing.
    const QRBMessageEndpointPtr& endpoint() const { return endpoint_; }
    // Registers the inverse of the next change of destination.
    void prepareUndo();

    // ---- fields
    bool isProtected() const { return protected_; }
    // Undoable (no action name); nothing when unchanged.
    void setProtected(bool value);
    bool isResolvingService() const { return resolvingService_; }
    const std::optional<std::string>& host() const { return host_; }
    int32_t port() const { return port_; }
    int32_t proto() const { return proto_; }
    const std::optional<std::string>& serviceName() const { return serviceName_; }
    const std::optional<std::string>& serviceDomain() const { return serviceDomain_; }
    const std::optional<std::string>& memo() const { return memo_; }
    // Undoable, named kEditMemoActionName; nothing when unchanged.
    void setMemo(const std::optional<std::string>& memo);
    // The service being resolved, while a resolution runs.
    const std::shared_ptr<foundation::NetService>& service() const { return service_; }

    // The slot the manager gave the target while decoding, for routes of older documents.
    int64_t reservedIndex() const { return reservedIndex_; }
    void set_reservedIndex(int64_t index) { reservedIndex_ = index; }

    std::shared_ptr<foundation::UndoManager> undoManager() const { return undoManager_.lock(); }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }

    // ---- Bonjour callbacks
    void netServiceDidResolveAddress(foundation::NetService& sender) override;
    void netServiceDidNotResolve(foundation::NetService& sender, const foundation::Dictionary& errorDict) override;

    // "memo", "QRBHostInfoProto", "protected", then "QRBHostInfoServiceName" and
    // "QRBHostInfoServiceDomain" for a service target, or "QRBHostInfoHost" and
    // "QRBHostInfoPort" for a host target. Decoding takes a protocol other than UDP and TCP as
    // UDP, so that nothing read from a document names a transport the target can't use.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    struct HostLookup;
    class ChangeGroup;

    std::shared_ptr<QRBTarget> self() { return std::static_pointer_cast<QRBTarget>(shared_from_this()); }
    // Registers an inverse when there is an undo manager that registers.
    std::shared_ptr<foundation::UndoManager> registeringUndoManager() const;
    // Stops resolving and lets the service go.
    void releaseService();
    // Starts resolving `service` (a copy of its own, so that targets naming the same service
    // don't take its callbacks from one another).
    void resolve(const foundation::NetService& service);
    // The numeric host liblo is given for host_, or none while it is not known yet.
    std::optional<std::string> numericHost();
    void hostLookupFinished(const std::shared_ptr<HostLookup>& lookup);
    // Notes when a lookup failed and logs it: once per lookup, by whichever sees it first (the
    // send that waited for it, a later send, or the lookup's announcement on the main loop).
    void lookupFailed(HostLookup& lookup);
    // The memo, else the destination, marked " (unavailable)" without an address.
    void refreshStatusDescription();

    lo_address oscAddress_ = nullptr;
    std::unique_ptr<QRBTCPConnection> tcpConnection_;
    // udpIPv4Destination for oscAddress_; dropped with the address.
    enum class DatagramDestination : uint8_t { Unread, IPv4, None };
    DatagramDestination datagramDestinationState_ = DatagramDestination::Unread;
    sockaddr_in datagramDestination_{};
    bool protected_ = false;
    bool resolvingService_ = false;
    int32_t port_ = 0;
    int32_t proto_ = 0;
    std::weak_ptr<foundation::UndoManager> undoManager_;
    std::optional<std::string> memo_;
    std::optional<std::string> serviceName_;
    std::optional<std::string> serviceDomain_;
    std::optional<std::string> host_;
    QRBMessageEndpointPtr endpoint_;
    int64_t reservedIndex_ = kUnnumbered;
    std::shared_ptr<foundation::NetService> service_;
    // The lookup of host_ under way or done; null for a numeric host or none made yet.
    std::shared_ptr<HostLookup> lookup_;
};
