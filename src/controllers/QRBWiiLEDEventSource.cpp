#include "controllers/QRBWiiLEDEventSource.h"

#include "controllers/QRBWiiRemote.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBTrigger.h"
#include "core/osc/QRBArg.h"

#include <algorithm>
#include <cmath>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBWiiLEDEventSource)

namespace {
constexpr const char* kLEDTypeKey = "QRBWiiLEDType";
}  // namespace

foundation::Value QRBWiiLEDEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    auto group = [](uint64_t type, const char* title) {
        foundation::Array outputs;
        for (int64_t slot = 1; slot <= kSlots; ++slot) {
            auto source = std::make_shared<QRBWiiLEDEventSource>();
            source->setSlot(slot);
            source->setLedType(type);
            source->setName("Wiimote " + std::to_string(slot) + " \u2013 " + title);
            outputs.emplace_back(foundation::Value(source));
        }
        return foundation::Value(std::move(outputs));
    };
    return foundation::Value(foundation::Array{
        group(kNumeric, "Numeric"), foundation::Value(QRBEventSource::menuSeparatorMarker()), group(kLevel, "Level")});
}

uint8_t QRBWiiLEDEventSource::maskForValue(uint64_t ledType, const QRBArg& value) {
    if (ledType == kNumeric) {
        int64_t number = 0;
        if (value.hasIntegerType()) {
            number = value.int64Value();
        } else {
            // A value from 0 to 1 spreads over the sixteen numbers; NaN shows nothing, and
            // anything out of range is held at the ends before it becomes an integer.
            const double v = value.doubleValue();
            if (!std::isnan(v)) number = static_cast<int64_t>(std::clamp(std::floor(15.0 * v + 0.5), 0.0, 15.0));
        }
        return static_cast<uint8_t>(std::clamp<int64_t>(number, 0, 15) & 0x0f);
    }
    if (ledType == kLevel) {
        const double v = value.doubleValue();
        uint8_t mask = 0;
        if (v > 0.2) mask |= 0b0001;
        if (v > 0.4) mask |= 0b0010;
        if (v > 0.6) mask |= 0b0100;
        if (v > 0.8) mask |= 0b1000;
        return mask;
    }
    return 0;
}

void QRBWiiLEDEventSource::attach(QRBAction& action) {
    QRBWiiAbstractEventSource::attach(action);
    if (const auto& trigger = action.trigger()) trigger->setMode(QRBTrigger::kChanged);
}

void QRBWiiLEDEventSource::detach(QRBAction& action) {
    if (auto wiimote = wiimoteForAction(action)) wiimote->updateLEDs();
    QRBWiiAbstractEventSource::detach(action);
}

QRBAcceptResult QRBWiiLEDEventSource::executeAction(QRBAction& action, QRBWiiRemote& wiimote) {
    // Lights show even on a disabled slot: they are how the user finds which remote is which.
    wiimote.updateLEDs(maskForValue(ledType_, *action.argValue()));
    return QRBAcceptResult::Done;
}

bool QRBWiiLEDEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    return QRBWiiAbstractEventSource::isEqualToEventSource(other) &&
           static_cast<const QRBWiiLEDEventSource&>(other).ledType_ == ledType_;
}

void QRBWiiLEDEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBWiiAbstractEventSource::encodeWithCoder(coder);
    coder.encodeInt32(static_cast<int32_t>(ledType_), kLEDTypeKey);
}

void QRBWiiLEDEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBWiiAbstractEventSource::initWithCoder(coder);
    // A type this version does not know shows nothing (mask 0), as it always did.
    ledType_ = static_cast<uint64_t>(static_cast<uint32_t>(coder.decodeInt32(kLEDTypeKey)));
}
