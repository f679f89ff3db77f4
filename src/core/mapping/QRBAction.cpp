#include "core/mapping/QRBAction.h"

#include "core/QRBPreferences.h"
#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBTrigger.h"
#include "core/monitor/QRBLivePlotController.h"
#include "foundation/RunLoop.h"

#include <algorithm>
#include <cmath>

namespace {

int64_t initialChannel() {
    int64_t channel = QRBPreferences::sharedPreferences().defaultMidiChannel();
    return channel > 0 ? channel : 1;
}

}  // namespace

QRBAction::QRBAction()
    : inputArgValue_(std::make_shared<QRBArg>()),
      previousArgValue_(std::make_shared<QRBArg>()),
      argValue_(std::make_shared<QRBArg>()),
      channel_(initialChannel()) {}

QRBAction::~QRBAction() {
    // A delayed release must not reach an action that is gone (its callback only holds the action
    // weakly, but the run loop would keep the callback until it fires).
    foundation::RunLoop::main().cancelPerforms(performKey());
}

// ---- Firing ------------------------------------------------------------------------------------

void QRBAction::takeInput(const QRBArg& arg) {
    inputArgValue_->makeSameAsValue(arg);
    if (inputArgValue_->hasIntegerType()) requireIntegralInputScalingsFormatting_ = true;
}

void QRBAction::fire(const QRBArg* arg) {
    if (arg) takeInput(*arg);
    fire();
}

void QRBAction::fire() {
    QRBArg& in = *inputArgValue_;
    bool changed = true;

    if (in.hasNumericType()) {
        const int32_t inType = in.libloType();
        const double x = in.doubleValue();
        const double p = previousArgValue_->doubleValue();

        // Button-like detection: concluded by the first input other than 0 and 1.
        if (!inputRangeChecked_ && std::fabs(x) >= kEpsilon && std::fabs(x - 1) >= kEpsilon) {
            hasTriggerLikeInput_ = false;
            inputRangeChecked_ = true;
        }

        // The cap lets through only inputs inside the range; NaN is inside no range.
        if (inputCap_) {
            const double lo = std::min(inputMin_, inputMax_);
            const double hi = std::max(inputMin_, inputMax_);
            if (!(x >= lo && x <= hi)) {
                // The previous output value, taken into the input's type, stays the reference for
                // the next fire.
                if (argValue_->libloType() != inType) argValue_->makeSameAsValue(*argValue_->coerceTo(inType));
                previousArgValue_->makeSameAsValue(*argValue_);
                return;
            }
        }

        // Scaling. An empty range on either side makes every input give one constant,
        // outputMin; it is not computed from x, so an infinite or NaN input still gives it.
        double scale;
        double offset;
        const double inputWidth = inputMax_ - inputMin_;
        if (std::fabs(inputWidth) < kEpsilon) {
            scale = 0;
            offset = outputMin_;
        } else {
            scale = (outputMax_ - outputMin_) / inputWidth;
            offset = outputMin_ - inputMin_ * scale;
        }
        const double y = scale == 0 ? offset : x * scale + offset;

        // The output value takes its final type directly (no intermediate conversion), so a
        // steady input type costs no allocation.
        if (!eventSource_ && in.hasIntegerType()) {
            // Without an output an integer input is shown as it came.
            argValue_->makeSameAsValue(in);
        } else {
            const bool identity = std::fabs(scale - 1) < kEpsilon && std::fabs(offset) < kEpsilon;
            const int32_t outType = identity || inType == 'f' || inType == 'd' ? inType : 'f';
            argValue_->setLibloType(outType);
            argValue_->setDoubleValue(y);
        }

        changed = std::fabs(p - y) >= kEpsilon;
        if (changed && logger_) {
            const double v = argValue_->hasFloatingType() ? argValue_->doubleValue() : y;
            logger_->logDoubleValue(v * outputScalingFudgeFactor() + outputScalingFudgeOffset());
        }
    } else {
        argValue_->makeSameAsValue(in);
    }

    unsigned activity = 1;
    if (enabled_) {
        // Held locally: an output may replace itself or the trigger while it acts.
        const QRBEventSourcePtr source = eventSource_;
        if (source && (source->needsAttach() || attachedGeneration_ != source->attachGeneration())) {
            attachedGeneration_ = source->attachGeneration();
            source->attach(*this);
        }
        const std::shared_ptr<QRBTrigger> trigger = trigger_;
        const QRBAcceptResult r = trigger ? trigger->acceptAction(*this) : QRBAcceptResult::Nothing;
        activity = r == QRBAcceptResult::Done ? 2 : (r == QRBAcceptResult::Nothing ? 1 : 3);
    }
    setNextActivity(activity);

    if (changed || isMultiArgument()) {
        if (auto host = oscManagerOfContext()) host->notifyActivityOnAction(*this);
    }
    previousArgValue_->makeSameAsValue(*argValue_);
}

void QRBAction::scheduleFire(const QRBArgPtr& arg) {
    auto& loop = foundation::RunLoop::main();
    loop.cancelPerforms(performKey());
    std::weak_ptr<foundation::Object> weakSelf = weak_from_this();
    QRBArgPtr value = arg ? arg->copy() : nullptr;
    loop.performAfter(kScheduledFireDelay, performKey(), [weakSelf, value] {
        if (auto self = weakSelf.lock()) static_cast<QRBAction&>(*self).fire(value.get());
    });
}

// ---- Activity ----------------------------------------------------------------------------------

void QRBAction::turnOnActivity() {
    switch (nextActivity_) {
    case 1: setCurrentActivity(kActivityIdle); break;
    case 2: setCurrentActivity(kActivityDone); break;
    case 3: setCurrentActivity(kActivityFailed); break;
    default: setCurrentActivity(0); break;
    }
}

void QRBAction::turnOffActivity() { setCurrentActivity(0); }

void QRBAction::setCurrentActivity(float level) {
    if (std::fabs(static_cast<double>(level) - currentActivity_) < kEpsilon) return;
    currentActivity_ = level;
    nextActivity_ = 0;
}

// ---- Structure ---------------------------------------------------------------------------------

std::shared_ptr<QRBActionHost> QRBAction::oscManagerOfContext() const {
    if (const QRBContext* own = asTopLevelContext()) return own->oscManager();
    auto ctx = context();
    return ctx ? ctx->oscManager() : nullptr;
}

bool QRBAction::demux() {
    auto ctx = context();
    if (!ctx || ctx.get() == this) return false;
    ctx->demux(rank());
    return true;
}

// ---- Output scaling shown to the user -------------------------------------------------------

double QRBAction::outputScalingFudgeFactor() const {
    return eventSource_ ? eventSource_->outputScalingFudgeFactorForAction(*this) : 1;
}

double QRBAction::outputScalingFudgeOffset() const {
    return eventSource_ ? eventSource_->outputScalingFudgeOffsetForAction(*this) : 0;
}
