#pragma once
// The base of the handlers that smooth their values (accelerometers, IR camera): a fixed list of
// one-pole low-pass filters made once with the handler, whose strength follows the slot's
// smoothing setting. A new setting reaches every filter at once; each goes on from its last
// output, so a change never makes the values jump.

#include "controllers/QRBWKEventHandler.h"
#include "zz/ZZLowPassWindow.h"

#include <vector>

class QRBWKSmoothedEventHandler : public QRBWKEventHandler {
public:
    // The subclass's constructor calls initFilters() itself: a virtual call from here would not
    // reach it.
    using QRBWKEventHandler::QRBWKEventHandler;

    // Smoothing from 0 to 100 (the slot's setting); the filters keep their coefficient in (0, 1]
    // whatever they are given.
    void setSmoothing(double smoothing) override;
    const std::vector<ZZLowPassWindow>& filters() const { return filters_; }

protected:
    // Fills the list once; its size and each filter's mapping and clipping are the subclass's.
    virtual void initFilters(std::vector<ZZLowPassWindow>& filters) = 0;
    void makeFilters() { initFilters(filters_); }
    ZZLowPassWindow& filter(size_t index) { return filters_[index]; }

private:
    std::vector<ZZLowPassWindow> filters_;
};
