#pragma once
// The Kyma controller outputs: 128 ordinary controllers (index = controller number) and the
// special controls, named controls with numbers above 127 in three groups. Both write to the
// current Flame device as any controller output does; their menus are the process-wide tables of
// the shared QRBEventSourceManager.

#include "core/outputs/QRBCCEventSource.h"

namespace detail {

class QRBKymaCCEventSource : public QRBCCEventSource {
    QRB_EVENT_SOURCE_CLASS("_QRBKymaCCEventSource", QRBCCEventSource)

public:
    QRBKymaCCEventSource() = default;
    QRBKymaCCEventSource(int64_t ccNumber, std::string name) : QRBCCEventSource(ccNumber) { setName(std::move(name)); }

    // The shared 128 outputs, in controller order.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);
};

class QRBKymaExtEventSource : public QRBCCEventSource {
    QRB_EVENT_SOURCE_CLASS("_QRBKymaExtEventSource", QRBCCEventSource)

public:
    QRBKymaExtEventSource() = default;
    QRBKymaExtEventSource(int64_t ccNumber, std::string name) : QRBCCEventSource(ccNumber) { setName(std::move(name)); }

    // The shared special list (groups and separators); none when its resource can't be read.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // The list is not in controller order: no neighbours but the output itself.
    QRBEventSourcePtr previousProposedEventSource() override;
    QRBEventSourcePtr nextProposedEventSource() override;
    // Special numbers go beyond 127.
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;
};

}  // namespace detail
