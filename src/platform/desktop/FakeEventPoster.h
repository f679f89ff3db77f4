#pragma once
// A desktop for tests: every key, mouse and scroll event posted is recorded in order, with the
// application it was meant for; the test sets the pointer, the displays, the running applications
// and the timings, and changes the displays (the handler hears it from the main run loop).
// Main thread only.

#include "controllers/devices/EventPoster.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform {

class FakeEventPoster final : public devices::EventPoster {
public:
    struct PostedKey {
        devices::KeyEvent event;
        std::optional<std::string> application;  // none: the application with the focus
    };
    struct PostedScroll {
        bool pixels = false;  // continuous scrolling, else steps
        int32_t vertical = 0;
        int32_t horizontal = 0;
    };

    // --- what the test scripts
    void setRunningApplications(std::set<std::string> names) { running_ = std::move(names); }
    void setKeyRepeat(double threshold, double interval) {
        keyRepeatThreshold_ = threshold;
        keyRepeatInterval_ = interval;
    }
    void setDoubleClickInterval(double seconds) { doubleClickInterval_ = seconds; }
    // Moving the pointer posts nothing.
    void setPointerLocation(devices::DesktopPoint location) { pointer_ = location; }
    // The displays change; the handler is told.
    void setDisplays(std::vector<devices::DisplayInfo> displays);

    // --- what the test sees
    const std::vector<PostedKey>& keys() const { return keys_; }
    const std::vector<devices::MouseEvent>& mouseEvents() const { return mouse_; }
    const std::vector<PostedScroll>& scrolls() const { return scrolls_; }
    void clear() {
        keys_.clear();
        mouse_.clear();
        scrolls_.clear();
    }

    // --- EventPoster
    void postKey(const devices::KeyEvent& event) override { keys_.push_back({event, std::nullopt}); }
    bool postKeyToApplication(const devices::KeyEvent& event, const std::string& application) override;
    double keyRepeatThreshold() const override { return keyRepeatThreshold_; }
    double keyRepeatInterval() const override { return keyRepeatInterval_; }
    devices::DesktopPoint pointerLocation() const override { return pointer_; }
    void postMouse(const devices::MouseEvent& event) override;
    void postScrollSteps(int32_t axis1, int32_t axis2) override { scrolls_.push_back({false, axis1, axis2}); }
    void postScrollPixels(int32_t wheel1, int32_t wheel2) override { scrolls_.push_back({true, wheel1, wheel2}); }
    double doubleClickInterval() const override { return doubleClickInterval_; }
    std::vector<devices::DisplayInfo> activeDisplays() const override { return displays_; }
    void setDisplaysChangedHandler(std::function<void()> handler) override { *displaysChanged_ = std::move(handler); }

private:
    std::set<std::string> running_;
    double keyRepeatThreshold_ = 0;
    double keyRepeatInterval_ = 0;
    double doubleClickInterval_ = 0.5;
    devices::DesktopPoint pointer_;
    std::vector<devices::DisplayInfo> displays_;
    std::shared_ptr<std::function<void()>> displaysChanged_ = std::make_shared<std::function<void()>>();
    std::vector<PostedKey> keys_;
    std::vector<devices::MouseEvent> mouse_;
    std::vector<PostedScroll> scrolls_;
};

}  // namespace platform
