#include "flame/QRBFlameLink.h"

namespace {
std::shared_ptr<QRBFlameLink>& installed() {
    static std::shared_ptr<QRBFlameLink> link = std::make_shared<QRBFlameLink>();
    return link;
}
}  // namespace

bool QRBFlameLink::writeToCurrentDevice(uint32_t, uint32_t, uint32_t, int) { return false; }

QRBFlameLink& QRBFlameLink::shared() { return *installed(); }

void QRBFlameLink::setShared(std::shared_ptr<QRBFlameLink> link) {
    installed() = link ? std::move(link) : std::make_shared<QRBFlameLink>();
}
