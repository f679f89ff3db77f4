#include "controllers/QRBMouseManager.h"

#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "foundation/RunLoop.h"
#include "foundation/UserDefaults.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

namespace {

// Below this a rate or a move is no motion at all.
constexpr double kEpsilon = 0x1p-52;
// Of the displays the desktop lists, the first ones the union covers.
constexpr size_t kMaxDisplays = 16;

bool contains(const devices::DesktopRect& r, double x, double y) {
    return r.width > 0 && r.height > 0 && x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

const devices::DisplayInfo* displayAt(const std::vector<devices::DisplayInfo>& displays, double x, double y) {
    for (const auto& d : displays)
        if (contains(d.bounds, x, y)) return &d;
    return nullptr;
}

std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<QRBMouseManager>& sharedSlot() {
    static std::shared_ptr<QRBMouseManager> slot;
    return slot;
}

}  // namespace

float QRBMouseFloat(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::isnan(value)) return 0;
    return static_cast<float>(std::clamp(value, -kMax, kMax));
}

std::shared_ptr<QRBMouseManager> QRBMouseManager::sharedInstance() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) {
        slot = std::make_shared<QRBMouseManager>(Key{});
        slot->start();
    }
    return slot;
}

void QRBMouseManager::releaseSharedInstance() {
    std::shared_ptr<QRBMouseManager> old;
    {
        std::lock_guard lock(sharedMutex());
        old.swap(sharedSlot());
    }
    if (old) old->stop();
}

QRBMouseManager::QRBMouseManager(Key) {}

QRBMouseManager::~QRBMouseManager() { stop(); }

void QRBMouseManager::start() {
    const auto location = poster().pointerLocation();
    absoluteX_ = QRBMouseFloat(location.x);
    absoluteY_ = QRBMouseFloat(location.y);
    userDefaultsChanged();
    defaultsObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
        foundation::kUserDefaultsDidChangeNotification, nullptr,
        [weak = weak_from_this()](const foundation::Notification&) {
            if (auto self = weak.lock()) self->userDefaultsChanged();
        });
    if (timer_) timer_->invalidate();
    timer_ = foundation::RunLoop::main().scheduleTimer(kTickInterval, true, foundation::RunLoopMode::Common,
                                                       [weak = weak_from_this()](foundation::Timer&) {
                                                           if (auto self = weak.lock()) self->postMouseLocation();
                                                       });
}

void QRBMouseManager::stop() {
    if (poster_) poster_->setDisplaysChangedHandler({});
    poster_.reset();
    if (timer_) timer_->invalidate();
    timer_.reset();
    defaultsObserver_.remove();
}

devices::EventPoster& QRBMouseManager::poster() {
    const auto& current = devices::DeviceLayers::current().events;
    if (current != poster_) {
        if (poster_) poster_->setDisplaysChangedHandler({});
        poster_ = current;
        poster_->setDisplaysChangedHandler([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->updateDisplaysRect();
        });
        updateDisplaysRect();
    }
    return *poster_;
}

double QRBMouseManager::doubleClickInterval() { return poster().doubleClickInterval(); }

void QRBMouseManager::moveMouseAbsoluteX(float x) {
    absoluteX_ = QRBMouseFloat(x);
    absoluteMoveXChanged_ = true;
}

void QRBMouseManager::moveMouseAbsoluteY(float y) {
    absoluteY_ = QRBMouseFloat(y);
    absoluteMoveYChanged_ = true;
}

void QRBMouseManager::resetDeltaMoves() {
    deltaX_ = deltaY_ = 0;
    scrollX_ = scrollY_ = 0;
    canSetTrackpadX_ = canSetTrackpadY_ = true;
}

void QRBMouseManager::setTrackpadZ(bool down) {
    if (trackpadZ_ && !down) canSetTrackpadX_ = canSetTrackpadY_ = false;
    trackpadZ_ = down;
}

bool QRBMouseManager::canSetTrackpadX() {
    const bool could = canSetTrackpadX_;
    canSetTrackpadX_ = true;
    return could;
}

bool QRBMouseManager::canSetTrackpadY() {
    const bool could = canSetTrackpadY_;
    canSetTrackpadY_ = true;
    return could;
}

void QRBMouseManager::setCurrentButton(uint8_t mask, bool triggeredDown) {
    if (triggeredDown) {
        currentButton_ |= mask;
        lastButtonCoords_ = {absoluteX_, absoluteY_};
    } else {
        currentButton_ &= static_cast<uint8_t>(~mask);
    }
}

std::optional<devices::DisplayInfo> QRBMouseManager::currentDisplay() {
    const auto displays = poster().activeDisplays();
    if (const auto* d = displayAt(displays, absoluteX_, absoluteY_)) return *d;
    for (const auto& d : displays)
        if (d.main) return d;
    return std::nullopt;
}

double QRBMouseManager::currentDisplayAspect() {
    const auto display = currentDisplay();
    if (!display || display->pixelWidth <= 0 || display->pixelHeight <= 0) return 1.0;
    return static_cast<double>(display->pixelWidth) / display->pixelHeight;
}

devices::MouseEventType QRBMouseManager::eventType() const {
    using T = devices::MouseEventType;
    // A press that has not moved yet is no drag: applications would start one on the spot.
    if (currentButton_ != 0 && std::lround(absoluteX_) == std::lround(lastButtonCoords_.x) &&
        std::lround(absoluteY_) == std::lround(lastButtonCoords_.y))
        return T::Moved;
    switch (currentButton_) {
    case kLeftButton: return T::LeftDragged;
    case kRightButton: return T::RightDragged;
    case kCenterButton: return T::OtherDragged;
    default: return T::Moved;
    }
}

devices::DesktopPoint QRBMouseManager::validateMouseCoordinates(devices::DesktopPoint target,
                                                                devices::DesktopPoint original) {
    const auto displays = poster().activeDisplays();
    if (displayAt(displays, target.x, target.y)) return target;
    const auto* home = displayAt(displays, original.x, original.y);
    if (!home) return original;
    const auto& b = home->bounds;
    return {std::clamp(target.x, b.x, b.x + b.width - 1), std::clamp(target.y, b.y, b.y + b.height - 1)};
}

void QRBMouseManager::postMouseLocation() {
    auto& events = poster();
    if (scrollX_ != 0 || scrollY_ != 0) events.postScrollPixels(scrollY_, scrollX_);
    if (!absoluteMoveXChanged_ && !absoluteMoveYChanged_ && std::fabs(deltaX_) < kEpsilon &&
        std::fabs(deltaY_) < kEpsilon)
        return;

    const auto location = events.pointerLocation();
    devices::MouseEvent event;
    event.type = eventType();
    const double x = absoluteMoveXChanged_ ? absoluteX_ : location.x;
    const double y = absoluteMoveYChanged_ ? absoluteY_ : location.y;
    const auto valid = validateMouseCoordinates({x + deltaX_, y + deltaY_}, location);
    const float dx = QRBMouseFloat(x + deltaX_ - location.x);
    const float dy = QRBMouseFloat(deltaY_ + y - location.y);
    if (std::fabs(dx) >= kEpsilon || std::fabs(dy) >= kEpsilon) {
        event.deltaX = dx;
        event.deltaY = dy;
        event.location = valid;
        events.postMouse(event);
        absoluteX_ = QRBMouseFloat(valid.x);
        absoluteY_ = QRBMouseFloat(valid.y);
    }
    absoluteMoveXChanged_ = absoluteMoveYChanged_ = false;
}

void QRBMouseManager::updateDisplaysRect() {
    auto displays = poster().activeDisplays();
    if (displays.size() > kMaxDisplays) displays.resize(kMaxDisplays);
    devices::DesktopRect u;
    bool first = true;
    for (const auto& d : displays) {
        const auto& b = d.bounds;
        if (b.width <= 0 || b.height <= 0) continue;
        if (first) {
            u = b;
            first = false;
            continue;
        }
        const double left = std::min(u.x, b.x), top = std::min(u.y, b.y);
        const double right = std::max(u.x + u.width, b.x + b.width);
        const double bottom = std::max(u.y + u.height, b.y + b.height);
        u = {left, top, right - left, bottom - top};
    }
    displaysRect_ = u;
}

devices::DesktopRect QRBMouseManager::displaysRect() {
    poster();  // a newly installed desktop is measured first
    return displaysRect_;
}

void QRBMouseManager::userDefaultsChanged() {
    setMouseTrackingSpeed(QRBPreferences::sharedPreferences().mouseTrackingSpeed());
}

void QRBMouseManager::setMouseTrackingSpeed(float speed) {
    if (!(speed >= 0)) return;  // also a NaN from a damaged preference
    const double f = (speed + 10.0) / 100.0;
    mouseTrackingSpeed_ = QRBMouseFloat(f * f * 100.0);
}
