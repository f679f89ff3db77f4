#pragma once
// The one pointer of the process, shared by every document's mouse outputs. Outputs only store
// targets and rates here; a 0.02 s timer on the main run loop turns them into at most one motion
// event and one pixel-scroll event per tick, however fast the values arrive, so a controller
// sending hundreds of messages a second cannot flood the desktop.
//
// The manager posts through the event poster of the device layers in use and follows it when
// another is installed. Without a display nothing is posted and no ratio divides by zero.
//
// Main thread only; the last value written wins.

#include "controllers/devices/EventPoster.h"
#include "foundation/NotificationCenter.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace foundation {
class Timer;
}

// The manager keeps single-precision values; a value from the network can be far beyond them, and
// converting such a double to float is undefined, so it saturates at the largest float instead.
float QRBMouseFloat(double value);

class QRBMouseManager : public std::enable_shared_from_this<QRBMouseManager> {
    struct Key {};

public:
    // The seconds between two ticks.
    static constexpr double kTickInterval = 0.02;
    // Mask bits of held buttons.
    static constexpr uint8_t kLeftButton = 1;
    static constexpr uint8_t kRightButton = 2;
    static constexpr uint8_t kCenterButton = 4;

    // Created at the first use, with its timer on the main run loop.
    static std::shared_ptr<QRBMouseManager> sharedInstance();
    // Stops the shared manager (timer, display handler, defaults observer) and forgets it, so the
    // next use starts afresh; tests call it between cases.
    static void releaseSharedInstance();

    explicit QRBMouseManager(Key);
    ~QRBMouseManager();
    QRBMouseManager(const QRBMouseManager&) = delete;
    QRBMouseManager& operator=(const QRBMouseManager&) = delete;

    // The desktop's double-click interval in seconds.
    double doubleClickInterval();

    void moveMouseRelativeX(float delta) { deltaX_ = delta; }
    void moveMouseRelativeY(float delta) { deltaY_ = delta; }
    void moveMouseAbsoluteX(float x);
    void moveMouseAbsoluteY(float y);
    void moveMouseAbsoluteXBy(float amount) { moveMouseAbsoluteX(absoluteX_ + amount); }
    void moveMouseAbsoluteYBy(float amount) { moveMouseAbsoluteY(absoluteY_ + amount); }
    void scrollX(int32_t amount) { scrollX_ = amount; }
    void scrollY(int32_t amount) { scrollY_ = amount; }
    // Rates and scrolling stop; the next trackpad samples move again.
    void resetDeltaMoves();

    // Lifting the finger makes the next X and Y samples only record where it lands.
    void setTrackpadZ(bool down);
    bool trackpadZ() const { return trackpadZ_; }
    // Reads the flag and arms it.
    bool canSetTrackpadX();
    bool canSetTrackpadY();
    float trackpadX() const { return trackpadX_; }
    float trackpadY() const { return trackpadY_; }
    void setTrackpadX(float x) { trackpadX_ = x; }
    void setTrackpadY(float y) { trackpadY_ = y; }

    void setCurrentButton(uint8_t mask, bool triggeredDown);
    uint8_t currentButton() const { return currentButton_; }

    // The display under the manager's pointer position, else the main display, else none.
    std::optional<devices::DisplayInfo> currentDisplay();
    // Pixel width over pixel height of the current display; 1 without one.
    double currentDisplayAspect();
    devices::MouseEventType eventType() const;
    devices::DesktopPoint validateMouseCoordinates(devices::DesktopPoint target, devices::DesktopPoint original);

    // One tick: the scrolling, then the motion.
    void postMouseLocation();
    void updateDisplaysRect();
    void userDefaultsChanged();
    // Below 0: ignored.
    void setMouseTrackingSpeed(float speed);

    float mouseTrackingSpeed() const { return mouseTrackingSpeed_; }
    float absoluteX() const { return absoluteX_; }
    float absoluteY() const { return absoluteY_; }
    bool absoluteMoveXChanged() const { return absoluteMoveXChanged_; }
    bool absoluteMoveYChanged() const { return absoluteMoveYChanged_; }
    float deltaX() const { return deltaX_; }
    float deltaY() const { return deltaY_; }
    int32_t scrollXAmount() const { return scrollX_; }
    int32_t scrollYAmount() const { return scrollY_; }
    devices::DesktopPoint lastButtonCoords() const { return lastButtonCoords_; }
    devices::DesktopRect displaysRect();

private:
    void start();
    void stop();
    // The poster in use; a newly installed one gets the display handler and is measured.
    devices::EventPoster& poster();

    bool canSetTrackpadX_ = false;
    bool canSetTrackpadY_ = false;
    bool trackpadZ_ = false;
    uint8_t currentButton_ = 0;
    bool absoluteMoveXChanged_ = false;
    bool absoluteMoveYChanged_ = false;
    float absoluteX_ = 0;
    float absoluteY_ = 0;
    float trackpadX_ = 0;
    float trackpadY_ = 0;
    float mouseTrackingSpeed_ = 0;
    float deltaX_ = 0;
    float deltaY_ = 0;
    int32_t scrollX_ = 0;
    int32_t scrollY_ = 0;
    std::shared_ptr<foundation::Timer> timer_;
    devices::DesktopPoint lastButtonCoords_;
    devices::DesktopRect displaysRect_;

    std::shared_ptr<devices::EventPoster> poster_;
    foundation::ObserverToken defaultsObserver_;
};
