#pragma once
// Notes shaped by parameters: the output's own action is the gate (pressed starts the note,
// released ends it), and the pitch, velocity, aftertouch and voice index come from the user info
// of another context, the params holder, where QRBNoteValuesEventSource outputs store them.
//
// QRBNoteOnOffEventSource plays the note on a voice of the current Flame device; its subclass
// QRBMidiNoteOnOffEventSource plays it as MIDI, several notes at once told apart by their voice
// index, with pitch bend and polyphonic aftertouch following the parameters while a note is held.
// While the gate is held the trigger fires again every 0.02 s so that the note follows them.
//
// A note's state lives in the gate action's user info, not in the output, so one output may serve
// several actions.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QRBActionLocation;
class QRBArg;
class QRBContext;
class QRBMIDIManager;

class QRBNoteOnOffEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBNoteOnOffEventSource", QRBEventSource)

public:
    static constexpr const char* kParamsLocationKey = "paramsLocation";
    // Older documents archived the params holder itself.
    static constexpr const char* kLegacyContextKey = "QRBNoteOnOffEventSourceContext";
    static constexpr const char* kVoiceKey = "_Voice";
    static constexpr const char* kParamsHolderTitle = "Params Holder";
    static constexpr double kRetriggerInterval = 0.02;

    QRBNoteOnOffEventSource() = default;
    static std::shared_ptr<QRBNoteOnOffEventSource> eventSourceForParamsAtLocation(
        const std::shared_ptr<QRBActionLocation>& location);

    static unsigned classChannelCount() { return 16; }
    // [{"Params Holder": one output per top-level context of the current preset, in natural
    // order of their names}]; none without an action in a document.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    const std::shared_ptr<QRBActionLocation>& paramsLocation() const { return paramsLocation_; }
    // Keeps a copy.
    void setParamsLocation(const std::shared_ptr<QRBActionLocation>& location);
    // The params holder's display name.
    std::optional<std::string> displayName() const override;

    // Both crossings fire, also for button-like input, and the held gate fires every 0.02 s.
    void attach(QRBAction& action) override;
    // A held note is released first.
    void reset(QRBAction& action) override;
    QRBAcceptResult acceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // The Flame voice the action holds; kFlameNoVoice when none.
    static uint32_t voiceValueInAction(const QRBAction& action);
    static void setVoiceValue(uint32_t voice, QRBAction& action);

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    // The params-holder menu of outputs of class T.
    template <class T> static foundation::Value proposedParamsHolders(const QRBAction* action);

    // What a firing reads: the params holder and its document's MIDI manager.
    struct Params {
        std::shared_ptr<QRBContext> holder;
        std::shared_ptr<QRBMIDIManager> manager;
        int64_t lower = 0;
        int64_t upper = 127;

        std::shared_ptr<QRBArg> value(const char* key) const;
    };
    // None when the location resolves to nothing or the holder's document has no MIDI manager.
    std::optional<Params> readParams(const QRBAction& action) const;

    // The pitch as a note number before any rounding: 60 without a pitch parameter; an integer is
    // a note number, any other number a fraction of the range lower..upper; other types give 0.
    // None for a value that is not a finite number.
    static std::optional<double> notePitch(const Params& params);

private:
    std::shared_ptr<QRBActionLocation> paramsLocation_;
};

// One sounding MIDI note of a gate action.
struct MIDINoteRecord {
    uint8_t pitch = 0;
    uint8_t velocity = 0;
    uint8_t aftertouch = 0;

    static MIDINoteRecord noteWithPitch(uint8_t pitch, uint8_t velocity) { return {pitch, velocity, 0}; }
    bool operator==(const MIDINoteRecord&) const = default;
};

class QRBMidiNoteOnOffEventSource : public QRBNoteOnOffEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBMidiNoteOnOffEventSource", QRBNoteOnOffEventSource)

public:
    static constexpr const char* kNotesKey = "_Notes";
    static constexpr const char* kWheelKey = "_Wheel";
    // The index of notes played without a voice parameter.
    static constexpr const char* kMonoIndex = "mono";

    QRBMidiNoteOnOffEventSource() = default;

    // The params-holder menu, of MIDI notes.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // The note held at the voice index (null: "mono").
    static std::optional<MIDINoteRecord> noteAtIndex(const QRBArg* index, const QRBAction& action);
    // None removes the entry.
    static void setNote(const std::optional<MIDINoteRecord>& note, const QRBArg* index, QRBAction& action);
    // The last pitch-bend value sent; 0 before any.
    static uint16_t wheelValueInAction(const QRBAction& action);
    static void setWheelValue(uint16_t wheel, QRBAction& action);

    // The note's messages, sent in order; the first failure stops the rest.
    QRBAcceptResult acceptAction(QRBAction& action) override;
};
