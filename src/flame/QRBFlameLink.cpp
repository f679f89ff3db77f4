#include "flame/QRBFlameLink.h"

#include "core/outputs/QRBCCEventSource.h"
#include "flame/flame_voices.h"

namespace {
std::shared_ptr<QRBFlameLink>& installed() {
    static std::shared_ptr<QRBFlameLink> link = std::make_shared<QRBFlameLink>();
    return link;
}

bool writeController(uint32_t offset, double value, int priority) {
    const flame_voice_words words = flame_voices_controller_words(value);
    return QRBFlameLink::shared().writeToCurrentDevice(offset, words.high, words.low, priority);
}
}  // namespace

bool QRBFlameLink::writeToCurrentDevice(uint32_t, uint32_t, uint32_t, int) { return false; }

QRBFlameLink& QRBFlameLink::shared() { return *installed(); }

void QRBFlameLink::setShared(std::shared_ptr<QRBFlameLink> link) {
    installed() = link ? std::move(link) : std::make_shared<QRBFlameLink>();
}

void QRBFlameLink::installControllerWrite() { QRBCCEventSource::setControllerWrite(&writeController); }
