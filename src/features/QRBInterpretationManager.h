#pragma once
// A document's interpretation of special input on its OSC servers: the five TUIO profile
// interpreters, and the control API under "/quorbital/v1/" by which another program builds
// mappings remotely (declares a message and its argument types, sets input ranges, maps an
// argument to MIDI, selects or creates a mapping by name). The manager has it install its entries
// on each server whenever the method tables are rebuilt; the routing manager owns it and archives
// it under "tuioManager".
//
// The API changes the document through the model's own setters, as the user interface does. Its
// create, range and map-to-MIDI methods switch undo registration off while they work (an API
// client replays its whole set-up at every connection: those edits are not the user's to undo);
// the channel mappings and the mapping restore leave it on. A request that cannot be completed is
// refused: logged with a line that begins "API: <address>, ", never answered over OSC, and offered
// by the server to the entries after it.
//
// The API's handlers are in QRBInterpretationAPI.cpp; the parts that make MIDI outputs are in
// QRBInterpretationMIDI.cpp. Main thread only.

#include "core/mapping/QRBAction.h"
#include "features/TUIOProfileInterpreter.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBManager;
class QRBServer;
struct QRBServerMessage;
class QRBInterpretationManager;
using QRBInterpretationManagerPtr = std::shared_ptr<QRBInterpretationManager>;

class QRBInterpretationManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBInterpretationManager", foundation::Object)

public:
    // Bit 1: TUIO profile messages also pass as ordinary input; bit 2: they are interpreted.
    static constexpr unsigned kPassThroughMode = 1;
    static constexpr unsigned kInterpretMode = 2;

    // The control API's addresses.
    static constexpr const char* kCreatePath = "/quorbital/v1/message/create";
    static constexpr const char* kRangePath = "/quorbital/v1/message/argument/range";
    static constexpr const char* kMapToMIDIPath = "/quorbital/v1/message/argument/map/midi";
    static constexpr const char* kMappingChannelPath = "/quorbital/v1/message/argument/map/change-mapping-channel";
    static constexpr const char* kArgumentChannelPath = "/quorbital/v1/message/argument/map/change-argument-channel";
    static constexpr const char* kRestorePath = "/quorbital/v1/mapping/restore";
    // The display name of map to MIDI that asks for an automatic output instead of a template.
    static constexpr const char* kAutomaticMIDIName = "<auto>";

    // What the API may make in one document. A live set-up declares some hundreds of messages in
    // a few mappings and collections; these bounds are far above that, and keep a client that
    // repeats its requests without end (or a hostile one) from growing the document, and the
    // cost of every later request and edit, without bound. They count what the document holds,
    // whatever made it; only the API is refused beyond them (the user and learned input are not).
    static constexpr size_t kMaxDocumentMappings = 1000;
    static constexpr size_t kMaxDocumentContexts = 20000;          // messages, in all mappings
    static constexpr size_t kMaxDocumentArgumentActions = 100000;  // their argument actions
    static constexpr size_t kMaxDocumentCollections = 1000;
    static constexpr size_t kMaxDocumentTemplates = 5000;
    static constexpr size_t kMaxDocumentTemplateBytes = 16 << 20;  // the templates' MIDI bytes

    // One entry of the API's method table: the address and the handler. Every entry takes any
    // type tags: the handlers check them (a number may come as i, f, h or d), so that a request
    // of the wrong types is refused with a line instead of passing on without a word.
    struct APIMethod {
        const char* path;
        int (QRBInterpretationManager::*handler)(const QRBServerMessage&);
    };
    static const std::array<APIMethod, 6>& apiMethods();
    // Whether `path` is one of the API's addresses.
    static bool isAPIPath(const char* path);
    // A request under "/quorbital/v1/" that no entry of the API took (an address the API does not
    // have): logged, as a refusal is.
    static void logUnknownRequest(const char* path, const char* types, int argc);

    QRBInterpretationManager() = default;
    // The interpretation of `manager`'s document, in mode 2.
    static QRBInterpretationManagerPtr initWithManager(const std::shared_ptr<QRBManager>& manager);
    // Builds the five interpreters for the manager and sets the mode.
    void privateInitWithManager(const std::shared_ptr<QRBManager>& manager, unsigned inputMode);

    // Installs the TUIO and API entries on `server`, replacing those installed before: installing
    // twice leaves one copy. Every entry of a profile address without type tags goes first, a
    // context's included: a context that pass-through input made for the address must not take
    // its messages before the interpreter (which hands them to that context itself).
    void installTUIOCallbacks(QRBServer& server);

    unsigned inputMode() const { return inputMode_; }
    // Also the interpreters' mode.
    void setInputMode(unsigned mode);
    std::shared_ptr<QRBManager> oscManager() const { return oscManager_.lock(); }
    // The interpreter of a profile (TUIOProfileInterpreter::Profile); null out of range or before
    // the manager is set.
    const TUIOProfileInterpreterPtr& interpreter(unsigned profile) const;

    // ---- what the API handlers share
    // Undo registration off and on again on the manager's undo manager. Every path through a
    // handler that begins also ends.
    void beginAPIUpdates();
    void endAPIUpdates();
    // The action for argument `index` of the message at `path`, whose context is found or made:
    // the context itself for index 0 of a message without argument actions. Null when input is
    // locked or the message has no such argument.
    QRBActionPtr APIMessageArgumentAtIndex(const std::string& path, long index);
    // Gives the message at `path` one argument action per type letter that it lacks (a one-letter
    // type string types the context itself). NO when input is locked.
    bool APIMessageCreateWithSignature(const std::string& path, const std::string& types);
    // The trigger mode code of a trigger type name: "center-rising" 1, "zero-to-positive" 4,
    // "positive-to-zero" 5, "changed" 9.
    static std::optional<int> triggerModeForName(const std::string& name);
    // The type letters an argument may be declared with.
    static bool isDeclarableType(char type);

    // ---- the handlers: 0 handled, -1 refused (logged)
    int create(const QRBServerMessage& message);
    int range(const QRBServerMessage& message);
    int mapToMIDI(const QRBServerMessage& message);
    int mappingChannel(const QRBServerMessage& message);
    int argumentChannel(const QRBServerMessage& message);
    int restoreMapping(const QRBServerMessage& message);
    // A message on a TUIO profile address: passed on as ordinary input in mode 1, interpreted in
    // mode 2.
    int handleTUIO(const QRBServerMessage& message, TUIOProfileInterpreter& interpreter);

    // ---- a map-to-MIDI request, read and checked
    struct MIDISubstitutionRequest {
        enum class Kind { Value, OutputChannel, Checksum };
        Kind kind = Kind::Value;
        int32_t sliceLocation = 0;
        int32_t sliceLength = 0;
        int32_t templateByteIndex = 0;
        int32_t bitOffset = 0;
        int checksumType = 0;  // 100 sum, 200 two's complement, 300 xor
        int32_t checkFromIndex = 0;
        int32_t checkToIndex = 0;
    };
    struct MIDIMappingRequest {
        std::string path;
        int32_t index = 0;
        int32_t dataMin = 0;
        int32_t dataMax = 0;
        std::vector<uint8_t> bytes;  // 1 to 65535
        int triggerMode = 0;
        // Template mode only.
        std::string collectionName;
        std::string templateName;
        std::vector<MIDISubstitutionRequest> substitutions;
    };
    // The parts that make MIDI outputs: 0 when `action` was mapped, else -1 after a log line.
    // Automatic mode: the status byte is 0xC0 with 2 bytes or 0xB0 with 3 bytes; the output range
    // is the request's data range.
    int mapToAutomaticMIDI(const char* address, QRBAction& action, const MIDIMappingRequest& request);
    int mapToMIDITemplate(const char* address, QRBAction& action, const MIDIMappingRequest& request);
    int mapToAllChannels(const char* address, QRBAction& action, int32_t minimum, int32_t maximum);
    int mapToArgumentChannel(const char* address, QRBAction& action, QRBAction& target, int32_t minimum,
                             int32_t maximum);

    // "oscManager" (conditional) and "inputMode".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    // Logs a refusal under a kind of its own, so that a client that repeats a bad request cannot
    // flood the log. Answers -1.
    static int refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Refuses a request whose type tags do not fit `expected` ('n': any number type).
    static int refuseTypes(const QRBServerMessage& message, const char* expected);
    // Whether the API refuses to make or change the message at `path` (logged): not an address a
    // message can have, or one in the application's command space, whose commands and the API's
    // own entries a context there would take over.
    static bool refusesMessageAddress(const char* address, const std::string& path);
    // Whether the document's bounds refuse what a request would add for the message at `path`
    // (logged): its context when it has none, and argument actions up to `argumentCount`.
    bool refusesGrowth(const char* address, const std::string& path, size_t argumentCount);
    // The argument action of a request, or a refusal logged (input locked, no such argument).
    QRBActionPtr requestedArgument(const char* address, const std::string& path, long index);

    unsigned inputMode_ = kInterpretMode;
    std::weak_ptr<QRBManager> oscManager_;
    std::array<TUIOProfileInterpreterPtr, TUIOProfileInterpreter::kProfileCount> interpreters_;
};
