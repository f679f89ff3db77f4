#include "controllers/QRBWiiAbstractEventSource.h"

#include "controllers/QRBWiiRemote.h"
#include "controllers/QRBWiiRemoteManager.h"
#include "core/mapping/QRBAction.h"
#include "document/QRBManager.h"
#include "zz/ZZTime.h"

#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBWiiAbstractEventSource)

namespace {
constexpr const char* kVersionKey = "Version";
constexpr const char* kSlotKey = "slot";
constexpr const char* kLegacySlotKey = "QRBWiiRemoteSlot";
}  // namespace

std::shared_ptr<QRBWiiRemote> QRBWiiAbstractEventSource::wiimoteForAction(const QRBAction& action) const {
    // The slot comes from a document: a number outside the slots names none (the manager would
    // take it for a programming error).
    if (slot_ < 1 || slot_ > QRBWiiRemoteManager::kMaxWiimotes) return nullptr;
    auto document = std::dynamic_pointer_cast<QRBManager>(action.oscManagerOfContext());
    const auto& wii = document ? document->wiiManager() : nullptr;
    return wii ? wii->wiimoteWithSlot(slot_) : nullptr;
}

QRBAcceptResult QRBWiiAbstractEventSource::acceptAction(QRBAction& action) {
    auto wiimote = wiimoteForAction(action);
    if (!wiimote || !wiimote->connected()) return QRBAcceptResult::Nothing;
    return executeAction(action, *wiimote);
}

QRBAcceptResult QRBWiiAbstractEventSource::executeAction(QRBAction&, QRBWiiRemote&) {
    ZZRaiseSubclassResponsibility("executeAction:withWiimote:");
}

bool QRBWiiAbstractEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBWiiAbstractEventSource&>(other).slot_ == slot_;
}

void QRBWiiAbstractEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeInt32(kArchiveVersion, kVersionKey);
    coder.encodeInteger(slot_, kSlotKey);
}

void QRBWiiAbstractEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    slot_ = coder.decodeInt32(kVersionKey) > 1 ? coder.decodeInteger(kSlotKey) : coder.decodeInteger(kLegacySlotKey);
}
