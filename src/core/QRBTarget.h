#pragma once
// One OSC output destination of a document: a host, a port and a transport typed by the user
// (a target specification such as "10.0.0.1:8000"), or a Bonjour service. The manager owns 16
// target slots and a local target aimed at the document's own UDP input; routes name a slot by
// index. From its destination a target makes, on demand, the liblo address the manager sends
// through, and it keeps the endpoint under which the monitor lists what was sent to it.
//
// What is here is what the manager relies on: the destination and its archive, the matching of
// found services and the address. Undoable edits, change announcements, the resolution of a
// bound service and the texts the interface shows come with the targets' own editing.
//
// Main thread only.

#include "core/QRBMessageEndpoint.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/NetService.h"
#include "foundation/Object.h"

#include <lo/lo.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

namespace foundation {
class UndoManager;
}

class QRBTarget;
using QRBTargetPtr = std::shared_ptr<QRBTarget>;

class QRBTarget : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBTarget", foundation::Object)

public:
    static constexpr const char* kEndpointCategoryName = "OSC Output";
    static constexpr const char* kLocalDomain = "local.";
    static constexpr const char* kUnavailableSuffix = " (unavailable)";

    // An empty target: not configured, protocol 0 (UDP), not protected.
    QRBTarget();
    ~QRBTarget() override;
    QRBTarget(const QRBTarget&) = delete;
    QRBTarget& operator=(const QRBTarget&) = delete;

    // ---- destination
    // A typed address ("10.0.0.1:8000", "osc.tcp://host:9000"): on success the target becomes
    // that host target and is protected; text that does not parse changes nothing; empty text
    // clears the target and its protection.
    void setTargetSpec(const std::optional<std::string>& spec);
    // The OSC URL of a host target, or none.
    std::optional<std::string> targetSpec() const;
    // Binds the target to a service (null clears it). A resolved service gives its host and port
    // at once; another is held and its name, domain and protocol are taken. `userInitiated`
    // marks the target protected.
    void setService(const std::shared_ptr<foundation::NetService>& service, bool userInitiated);
    // The manager's browsers found or lost a service. A lost service that the target matches
    // takes its host and port away; name, domain and protocol stay for its return.
    void notifyServiceFound(const std::shared_ptr<foundation::NetService>& service);
    void notifyServiceLost(const std::shared_ptr<foundation::NetService>& service);
    // Same name, same domain and a matching transport (protocol 0 or 1 matches only UDP).
    bool matchesService(const foundation::NetService& service) const;
    // A service name, or a host with a port above 0.
    bool isConfigured() const;
    // Same object; service targets by name and domain; host targets by host and port; empty
    // targets with empty ones.
    bool isEqualToTarget(const QRBTarget& other) const;

    // ---- sending
    // The liblo address, made from the host and port when there is none yet; null when the
    // target has no usable destination.
    lo_address oscAddress();
    // Frees the address held and keeps `address` (owned from now on).
    void setOscAddress(lo_address address);
    // Drops the address; the next send makes a new one.
    void invalidate() { setOscAddress(nullptr); }
    // Remakes the address and refreshes the endpoint's description.
    void configureClient();
    // Made by the first configureClient: "OSC Output", outgoing.
    const QRBMessageEndpointPtr& endpoint() const { return endpoint_; }

    // ---- fields
    bool isProtected() const { return protected_; }
    void setProtected(bool value) { protected_ = value; }
    bool isResolvingService() const { return resolvingService_; }
    const std::optional<std::string>& host() const { return host_; }
    int32_t port() const { return port_; }
    int32_t proto() const { return proto_; }
    const std::optional<std::string>& serviceName() const { return serviceName_; }
    const std::optional<std::string>& serviceDomain() const { return serviceDomain_; }
    const std::optional<std::string>& memo() const { return memo_; }
    void setMemo(const std::optional<std::string>& memo) { memo_ = memo; }
    const std::shared_ptr<foundation::NetService>& service() const { return service_; }

    // The slot the manager gave the target while decoding, for routes of older documents.
    int64_t reservedIndex() const { return reservedIndex_; }
    void set_reservedIndex(int64_t index) { reservedIndex_ = index; }

    std::shared_ptr<foundation::UndoManager> undoManager() const { return undoManager_.lock(); }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }

    // "memo", "QRBHostInfoProto", "protected", then "QRBHostInfoServiceName" and
    // "QRBHostInfoServiceDomain" for a service target, or "QRBHostInfoHost" and
    // "QRBHostInfoPort" for a host target.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    void clearDestination();

    lo_address oscAddress_ = nullptr;
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
    int64_t reservedIndex_ = std::numeric_limits<int64_t>::max();
    std::shared_ptr<foundation::NetService> service_;
};
