#pragma once
// The mouse outputs: one per kind of pointer action (buttons, scroll steps, relative and absolute
// moves, smooth scrolling, trackpad-style moves). Buttons and scroll steps post at once; motion
// and smooth scrolling only store targets and rates in the shared mouse manager, whose tick
// posts them, so that fast controllers are coalesced into one event per tick.
//
// Click counts and event numbers live in the action's user info, so that each action clicks on
// its own. Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QRBMouseEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMouseEventSource", QRBEventSource)

public:
    enum Type : uint32_t {
        kLeftButton = 1,
        kCenterButton = 2,
        kRightButton = 3,
        kScrollWheelUp = 4,
        kScrollWheelDown = 5,
        kScrollWheelLeft = 6,
        kScrollWheelRight = 7,
        kRelativeMoveX = 8,
        kRelativeMoveY = 9,
        kAbsoluteMoveX = 10,
        kAbsoluteMoveY = 11,
        kSmoothScrollX = 12,
        kSmoothScrollY = 13,
        kTrackpadMoveX = 14,
        kTrackpadMoveY = 15,
        kTrackpadTouch = 16,
    };

    QRBMouseEventSource() = default;
    static std::shared_ptr<QRBMouseEventSource> mouseEventSourceOfType(uint32_t type, const std::string& name);
    // The name the menus give the type; empty for an unknown one.
    static std::string nameOfType(uint32_t type);

    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    uint32_t mouseActionType() const { return mouseActionType_; }
    void setMouseActionType(uint32_t type) { mouseActionType_ = type; }

    void attach(QRBAction& action) override;
    // Rates go back to rest and held buttons or fingers are released through the ordinary path.
    void reset(QRBAction& action) override;
    QRBAcceptResult acceptAction(QRBAction& action) override;
    QRBAcceptResult acceptActionForButtonEvents(QRBAction& action);
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // After the base keys: "QRBMouseActionType".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

    // ---- per-action state
    // The loop-clock seconds of the action's last press; none before the first.
    static std::optional<double> lastClickDateInAction(const QRBAction& action);
    static void setLastClickDate(double seconds, QRBAction& action);
    // A press counts 1 to 3 while presses follow within the double-click interval; a release
    // gives the count of its press.
    static int64_t multiclickCount(bool pressed, QRBAction& action);
    // Presses number the events; a release carries its press's number.
    static int64_t nextEventNumber(bool pressed, QRBAction& action);
    // The event type a press or release posts: a button's down or up, or 22 (scroll wheel).
    int mouseType(bool pressed) const;
    // The held-button mask bit of the button type (left 1, right 2, center 4); 0 otherwise.
    uint8_t mouseButton() const;

private:
    // Scroll steps repeat with the key-repeat timings; the other types do not repeat.
    void setRepeatTimings(QRBAction& action) const;

    uint32_t mouseActionType_ = 0;
};
