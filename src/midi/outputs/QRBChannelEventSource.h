#pragma once
// Outputs that change the MIDI channel of other actions: one action, found by its place in the
// current mapping (so the reference follows mapping switches), or every action of the current
// mapping. The action's value picks the channel: 0..1 spans channels 1 to 16.
//
// Main thread only.

#include "core/mapping/QRBActionLocation.h"
#include "core/outputs/QRBEventSource.h"

class QRBChannelEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBChannelEventSource", QRBEventSource)

public:
    static constexpr const char* kTargetLocationKey = "targetLocation";
    // Documents of earlier versions held the target action itself.
    static constexpr const char* kLegacyActionKey = "action";

    QRBChannelEventSource() = default;
    static std::shared_ptr<QRBChannelEventSource> create(const QRBActionLocationPtr& targetLocation);

    // [[All Channels], separator, {"Message": one output per other single-argument action of the
    // current mapping, in natural order of their names, or {"No other message": []}}].
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // An old document's target action gives its place once the document is whole.
    QRBActionLocationPtr targetLocation() const;
    // Copies the location; the output is named after it.
    void setTargetLocation(const QRBActionLocationPtr& location);
    std::optional<std::string> displayName() const override;

    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return 15; }
    // Failed when the target does not resolve in the current mapping.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    mutable QRBActionLocationPtr targetLocation_;
    // The target of an old document, until its place is known.
    mutable std::weak_ptr<QRBAction> legacyAction_;
};

class QRBAllChannelsEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBAllChannelsEventSource", QRBEventSource)

public:
    static constexpr const char* kName = "In Current Preset";

    QRBAllChannelsEventSource();

    static const QRBEventSourceClass* classType() { return &QRBChannelEventSource::staticClass(); }

    bool requireIntegralScalingsFormatting() const override { return true; }
    double outputScalingFudgeFactor() const override { return 15; }
    // Every action and context of the current mapping, the firing one included, takes the
    // channel (as far as its output type has that many channels).
    QRBAcceptResult acceptAction(QRBAction& action) override;
};
