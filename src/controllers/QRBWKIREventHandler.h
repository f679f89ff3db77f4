#pragma once
// The IR camera: the raw points it sees, each under "/wii/<slot>/ir/xys/<n>" with x, y and a
// size, and the pointer position from 0 to 1 under "/wii/<slot>/ir", each when the slot asks.
// A point the camera loses keeps its last position with size 0, so a mapping sees it vanish
// rather than jump; a pointer the camera cannot place sends nothing.

#include "controllers/QRBWKSmoothedEventHandler.h"

class QRBWKIREventHandler : public QRBWKSmoothedEventHandler {
public:
    static constexpr int kEventType = 2;
    // The camera tracks this many points at most; a report of more is cut.
    static constexpr size_t kMaxPoints = 4;
    // The pointer coordinate that means no position.
    static constexpr double kNoPosition = -100.0;

    explicit QRBWKIREventHandler(QRBWiiRemote& device);
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKIREventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;

protected:
    void initFilters(std::vector<ZZLowPassWindow>& filters) override;
};
