#pragma once
// The single-key outputs. The key output presses one fixed key while the action's value stays
// above the press threshold and repeats it like a held key, with the desktop's key-repeat delay
// and interval; the key-from-code output taps the key whose code the value carries, once per
// firing. Both post through the document's key event manager. Whether a key is down belongs to
// the action (its trigger state), so two actions on one key hold and release it independently.
//
// Main thread only. Posting sleeps the main thread 1 ms between a key's up and down events.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>
#include <memory>

class QRBKeyEventManager;

// The key event manager of the document the action belongs to, or null.
std::shared_ptr<QRBKeyEventManager> QRBKeyEventManagerOfAction(const QRBAction& action);

class QRBKeyEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBKeyEventSource", QRBEventSource)

public:
    QRBKeyEventSource() { updateName(); }
    explicit QRBKeyEventSource(uint16_t keycode) : keycode_(keycode) { updateName(); }

    // A key output per key code, 0 to 127.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    uint16_t keycode() const { return keycode_; }
    // Names the output after the key (no undo of its own).
    void setKeycode(uint16_t keycode);
    // "Key <code>\t\t<text>", the text left out when the key shows none (or shows what the right
    // Shift key shows: a modifier says nothing about which key it is).
    void updateName();

    // Either direction fires; the repeat follows the desktop's timings, read again each time.
    void configureAction(QRBAction& action) const;
    void attach(QRBAction& action) override;
    // A held key is released through the ordinary path (the input minimum is fired), then the
    // repeat stops.
    void reset(QRBAction& action) override;
    // Press: key down, Done. Every acceptance while held: up, 1 ms, down again (a repeat), Done.
    // Release: key up only, Nothing.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // Wraps 0 ↔ 127.
    QRBEventSourcePtr previousProposedEventSource() override;
    QRBEventSourcePtr nextProposedEventSource() override;
    // Same class and key code.
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // After the base keys: "QRBKeycodeEventSourceKeycode".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    uint16_t keycode_ = 0;
};

class QRBKeyFromCodeEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBKeyFromCodeEventSource", QRBEventSource)

public:
    QRBKeyFromCodeEventSource() = default;

    // Listed with the key outputs.
    static const QRBEventSourceClass* classType() { return &QRBKeyEventSource::staticClass(); }

    // Taps the key whose code is the value's integer (its low 16 bits): down, 1 ms, up, 1 ms.
    QRBAcceptResult acceptAction(QRBAction& action) override;
};
