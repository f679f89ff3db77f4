#pragma once
// The live plot of one action: while it plots an action it is that action's logger, and the
// action hands it every changed output value (in the user's units). The windowed interface plugs
// in its plot window; QRBHeadlessLivePlotController keeps the plot's state without a window, so a
// document opened headless keeps its plots.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

class QRBAction;
class QRBLivePlotController;
using QRBLivePlotControllerPtr = std::shared_ptr<QRBLivePlotController>;

class QRBLivePlotController : public foundation::Object {
public:
    // Appends one value to the plot.
    virtual void logDoubleValue(double value) = 0;
    // Plots another action: the previous action loses its logger and the new one gets this
    // controller; the plot is cleared and its range set to the action's shown output range. The
    // action sends it again after a change of its output or output range, so that the plot
    // rescales.
    virtual void setAction(const std::shared_ptr<QRBAction>& action) = 0;
    virtual std::shared_ptr<QRBAction> action() const = 0;
    // Shows the plot (the action's mapping became current again).
    virtual void start() = 0;
    // Hides the plot (the action's mapping was left); like every closing, this detaches the
    // controller from its action.
    virtual void stop() = 0;
    // Closes the plot for good (the action was invalidated).
    virtual void close() = 0;
    // A new controller with the same saved frame, plotting nothing until given an action.
    virtual QRBLivePlotControllerPtr copy() const = 0;
};

class QRBHeadlessLivePlotController : public QRBLivePlotController {
    FND_ARCHIVED_CLASS("QRBLivePlotController", QRBLivePlotController)

public:
    // How many values the plot keeps.
    static constexpr size_t kCapacity = 345;
    static constexpr const char* kNonFiniteWarning = "Warning: Plotting non-finite value.";

    QRBHeadlessLivePlotController() = default;

    // Non-finite values are logged and dropped; recording a value allocates nothing.
    void logDoubleValue(double value) override;
    void setAction(const std::shared_ptr<QRBAction>& action) override;
    std::shared_ptr<QRBAction> action() const override { return action_.lock(); }
    void start() override { visible_ = true; }
    void stop() override;
    void close() override;
    QRBLivePlotControllerPtr copy() const override;

    bool isVisible() const { return visible_; }
    double minOrdinate() const { return minOrdinate_; }
    double maxOrdinate() const { return maxOrdinate_; }
    // The values held, oldest first (at most kCapacity).
    size_t valueCount() const { return count_; }
    double valueAtIndex(size_t index) const;
    std::optional<double> lastValue() const;
    void clearPlotting() { count_ = 0; }

    const std::optional<std::string>& savedStringFrame() const { return savedStringFrame_; }
    void setSavedStringFrame(std::optional<std::string> frame) { savedStringFrame_ = std::move(frame); }

    // "QRBLivePlotFrame": the window frame, kept as it was read.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    // Held weakly: the action owns its logger.
    std::weak_ptr<QRBAction> action_;
    bool visible_ = false;
    double minOrdinate_ = 0;
    double maxOrdinate_ = 0;
    std::array<double, kCapacity> values_{};
    size_t next_ = 0;
    size_t count_ = 0;
    std::optional<std::string> savedStringFrame_;
};
