#include "core/monitor/QRBLivePlotController.h"

#include "core/mapping/QRBAction.h"
#include "foundation/Log.h"

#include <cmath>

namespace {
constexpr const char* kFrameKey = "QRBLivePlotFrame";
}  // namespace

void QRBHeadlessLivePlotController::logDoubleValue(double value) {
    if (!std::isfinite(value)) {
        foundation::log(kNonFiniteWarning);
        return;
    }
    values_[next_] = value;
    next_ = (next_ + 1) % kCapacity;
    if (count_ < kCapacity) ++count_;
}

void QRBHeadlessLivePlotController::setAction(const std::shared_ptr<QRBAction>& action) {
    auto current = action_.lock();
    if (action != current) {
        if (current && current->logger().get() == this) current->setLogger(nullptr);
        action_ = action;
        if (action) action->setLogger(std::static_pointer_cast<QRBLivePlotController>(shared_from_this()));
    }
    if (action) {
        clearPlotting();
        minOrdinate_ = action->userOutputMin();
        maxOrdinate_ = action->userOutputMax();
        logDoubleValue(action->argValue()->doubleValue());
    }
}

void QRBHeadlessLivePlotController::stop() {
    visible_ = false;
    setAction(nullptr);
}

void QRBHeadlessLivePlotController::close() { stop(); }

QRBLivePlotControllerPtr QRBHeadlessLivePlotController::copy() const {
    auto copy = std::make_shared<QRBHeadlessLivePlotController>();
    copy->savedStringFrame_ = savedStringFrame_;
    return copy;
}

double QRBHeadlessLivePlotController::valueAtIndex(size_t index) const {
    if (index >= count_) return 0;
    return values_[(next_ + kCapacity - count_ + index) % kCapacity];
}

std::optional<double> QRBHeadlessLivePlotController::lastValue() const {
    if (count_ == 0) return std::nullopt;
    return values_[(next_ + kCapacity - 1) % kCapacity];
}

void QRBHeadlessLivePlotController::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(savedStringFrame_ ? foundation::Value(*savedStringFrame_) : foundation::Value(), kFrameKey);
    QRBLivePlotController::encodeWithCoder(coder);
}

void QRBHeadlessLivePlotController::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBLivePlotController::initWithCoder(coder);
    savedStringFrame_ = coder.decodeString(kFrameKey);
}
