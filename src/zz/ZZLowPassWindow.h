#pragma once
// A one-pole smoothing filter for sensor values: y = a·x + (1 − a)·y_prev. The first value
// passes unchanged.

#include <optional>

class ZZLowPassWindow {
public:
    void setMapsTo01Input(bool on) { mapTo01_ = on; }
    void setClipsTo01Input(bool on) { clipTo01_ = on; }
    // A smoothing setting from 0 to 100: 0 and 1 mean none, 10 gives a = 0.5, 100 counts as 99.
    // Settings outside 0…100 are clamped. No setting leaves the filter unchanged.
    void setSmoothing(std::optional<double> smoothing);

    double filter(double x);
    double currentValue() const { return st1_; }
    double alpha() const { return alpha_; }

private:
    bool clipTo01_ = false;
    bool mapTo01_ = false;
    bool init_ = false;
    double st1_ = 0.0;
    double alpha_ = 0.15;
};
