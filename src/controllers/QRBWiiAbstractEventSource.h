#pragma once
// The base of the outputs that act on a Wii remote of the action's own document: rumble, enable,
// lights and the MotionPlus's tracking. Each names its remote by slot (1 to 8) and looks the slot
// up at every firing, so it follows whatever remote sits there and does nothing while none is
// connected.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>
#include <memory>

class QRBWiiRemote;

class QRBWiiAbstractEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBWiiAbstractEventSource", QRBEventSource)

public:
    // The archive's "Version": from 2 on the slot is an integer under "slot".
    static constexpr int32_t kArchiveVersion = 2;

    int64_t slot() const { return slot_; }
    void setSlot(int64_t slot) { slot_ = slot; }

    // The slot of this output's number in the Wii remote manager of the action's document; null
    // when the action is in no document or the number names no slot.
    std::shared_ptr<QRBWiiRemote> wiimoteForAction(const QRBAction& action) const;
    // Acts through executeAction when that slot's remote is connected; nothing otherwise.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // What the output does to a connected remote.
    virtual QRBAcceptResult executeAction(QRBAction& action, QRBWiiRemote& wiimote);

    // Same class and the same slot.
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // After the base keys: "Version" and "slot"; archives before version 2 hold the slot as a
    // number under "QRBWiiRemoteSlot".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    // Eight outputs of class T named "Wiimote <n>" for the slots 1 to 8.
    template <class T> static foundation::Value proposalsOfClass() {
        foundation::Array outputs;
        for (int64_t slot = 1; slot <= kSlots; ++slot) {
            auto source = std::make_shared<T>();
            source->setSlot(slot);
            source->setName("Wiimote " + std::to_string(slot));
            outputs.emplace_back(foundation::Value(source));
        }
        return foundation::Value(std::move(outputs));
    }
    static constexpr int64_t kSlots = 8;

private:
    int64_t slot_ = 1;
};
