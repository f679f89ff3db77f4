#include "controllers/KeystrokePoller.h"

#include "controllers/QRBVirtualKeyCodes.h"
#include "controllers/SRKeyCodeTransformer.h"
#include "controllers/devices/DeviceLayers.h"

KeystrokePoller::KeyMap KeystrokePoller::currentKeyMap() {
    const devices::XKeymapState keys = devices::DeviceLayers::current().keyboard->keysDown();
    KeyMap map{};
    for (uint16_t code = 0; code < 128; ++code) {
        const uint32_t x = QRBXKeyCodeForVirtualKeyCode(code);
        if (x != 0 && (keys[x / 8] >> (x % 8)) & 1) map[code / 8] |= uint8_t(1u << (code % 8));
    }
    return map;
}

KeystrokePoller::~KeystrokePoller() { windowWillClose(); }

void KeystrokePoller::showWindow() {
    if (timer_) return;
    previousKeyMap_ = currentKeyMap();
    timer_ = foundation::RunLoop::main().scheduleTimer(kPollInterval, true, foundation::RunLoopMode::Common,
                                                       [this](foundation::Timer&) { poll(); });
}

void KeystrokePoller::poll() {
    const KeyMap now = currentKeyMap();
    if (now == previousKeyMap_) return;
    for (unsigned i = 0; i < 128; ++i) {
        const uint8_t mask = uint8_t(0x80u >> (i % 8));
        if ((now[i / 8] & mask) && !(previousKeyMap_[i / 8] & mask)) {
            const uint16_t code = KeyMapBitIndexToKeyCode(i);
            keyCodeField_ = std::to_string(code);
            keyCharField_ = keyCodeDisplayString(code).value_or(std::string());
        }
    }
    previousKeyMap_ = now;
}

void KeystrokePoller::windowWillClose() {
    if (timer_) timer_->invalidate();
    timer_.reset();
}
