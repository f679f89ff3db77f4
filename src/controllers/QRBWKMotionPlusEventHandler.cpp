#include "controllers/QRBWKMotionPlusEventHandler.h"

#include "controllers/QRBWiiRemote.h"

void QRBWKMotionPlusEventHandler::handleEvent(const devices::WiiEvent& event) {
    addMessage("/wii/%i/motion/angles", {event.x, event.y, event.z});
    if (device().outputRawMotion()) addMessage("/wii/%i/motion/velo", {event.deltaX, event.deltaY, event.deltaZ});
}
