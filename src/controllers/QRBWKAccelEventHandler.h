#pragma once
// Accelerometers of the remote and the nunchuk. Sends the smoothed raw values (x, y, z from 0 to
// 1, 0.5 at rest) under ".../accel/xyz" and the angles derived from them, pitch, roll and yaw
// from 0 to 1 (0.5 level) with the magnitude of the acceleration, under ".../accel/pry", each when
// the slot asks for it.
//
// An angle is only recomputed while the axes it depends on see enough of gravity: a remote lying
// still along an axis keeps that angle instead of letting noise swing it from end to end.

#include "controllers/QRBWKSmoothedEventHandler.h"

#include <array>

class QRBWKAccelEventHandler : public QRBWKSmoothedEventHandler {
public:
    static constexpr int kEventType = 1;
    // Below this (on the -1..1 scale) an axis is taken as seeing no gravity.
    static constexpr double kDeadZone = 0.012;
    static constexpr size_t kFiltersPerSource = 7;

    explicit QRBWKAccelEventHandler(QRBWiiRemote& device);
    static QRBWKEventHandlerPtr handlerWithDevice(QRBWiiRemote& device) {
        return std::make_shared<QRBWKAccelEventHandler>(device);
    }

    int eventType() const override { return kEventType; }
    void handleEvent(const devices::WiiEvent& event) override;

    // The addresses of source 0 (the remote) and 1 (the nunchuk); any other source raises.
    const char* cachedXYZMethod(int source);
    const char* cachedPRYMethod(int source);

    // Index 0 the remote, 1 the nunchuk.
    const std::array<double, 2>& pitch() const { return pitch_; }
    const std::array<double, 2>& roll() const { return roll_; }
    const std::array<double, 2>& yaw() const { return yaw_; }

protected:
    void initFilters(std::vector<ZZLowPassWindow>& filters) override;

private:
    std::array<double, 2> pitch_{};
    std::array<double, 2> roll_{};
    std::array<double, 2> yaw_{};
};
