#pragma once
// Turns the messages of one TUIO 1.x profile into one OSC address per object. A tracker sends
// everything on one address ("/tuio/2Dcur"): "source" names it, "alive" lists the sessions
// present, "set" gives one session's values and "fseq" ends a frame. The interpreter gives each
// object an address of its own ("/tuio/2D/cur/0", "/tuio/2D/cur/1", ...) carrying its coordinates,
// and announces it on that address followed by "/alive" with 1.0 when it appears and 0.0 when it
// goes away. Cursor-like profiles give each session the lowest free slot (0 to 1023), so the
// addresses stay few and are reused; object profiles use the fiducial's class identifier, so one
// physical object always has one address.
//
// The interpreted messages enter the document's input as producers inside the application do,
// from the "TUIO Interpreter" endpoint.
//
// Sources named like the Wii infrared cameras ("quorbital-wiimote-...") are coalesced: the
// coordinates of one are averaged with the last ones of the others seen within a second, so
// several cameras looking at one scene make one stream.
//
// Main thread only.

#include "core/osc/QRBArg.h"
#include "core/osc/QRBMessageEndpoint.h"

#include <lo/lo.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBManager;

class TUIOProfileInterpreter {
public:
    // The five profiles, in the order the interpretation manager holds them.
    enum Profile : unsigned { Object2D = 0, Cursor2D = 1, Blob2D = 2, Object3D = 3, Cursor3D = 4 };
    static constexpr unsigned kProfileCount = 5;
    static constexpr size_t kCursorCount = 1024;
    static constexpr const char* kEndpointName = "TUIO Interpreter";
    static constexpr const char* kCoalescedSourceMark = "quorbital-wiimote";
    static constexpr const char* kNoFreeCursorLog = "No free cursor found!";
    static constexpr const char* kCoalesceFailureLog = "TUIO Interpreter: unable to coalesce set coordinates.";
    // Coordinates of coalesced sources are averaged with those seen within this time.
    static constexpr double kCoalescingWindow = 1.0;
    // A frame end drops the objects of a stream without "alive" unless a coalesced source
    // reported objects within this time.
    static constexpr double kSeenWindow = 0.2;

    TUIOProfileInterpreter(const std::shared_ptr<QRBManager>& manager, unsigned profile);
    static std::shared_ptr<TUIOProfileInterpreter> initWithManager(const std::shared_ptr<QRBManager>& manager,
                                                                   unsigned profile) {
        return std::make_shared<TUIOProfileInterpreter>(manager, profile);
    }

    // The profile's address ("/tuio/2Dcur"); null for a profile out of range.
    static const char* profileAddress(unsigned profile);

    // 0 when handled or ignored; -1 for a message that cannot be interpreted (a "set" without a
    // session, or without coordinates after its identifier; an "fseq" without exactly one frame
    // number), which the server then offers to the next entry. The arguments are liblo's, with
    // their type tags (without the comma).
    int interpret(const char* types, lo_arg** argv, int argc);

    int processSource(const char* types, lo_arg** argv, int argc);
    int processAlive(const char* types, lo_arg** argv, int argc);
    int processSet(const char* types, lo_arg** argv, int argc);
    int processFseq(const char* types, lo_arg** argv, int argc);

    // The object identifier of a session (its slot or class identifier), if it has one.
    std::optional<int32_t> identifierForSessionID(int32_t session) const;
    // Records the identifier and announces a session that had none.
    void setAliveIdentifier(int32_t identifier, int32_t session);
    // The session's slot; a new session takes the lowest free one (none when all are used).
    std::optional<int32_t> cursorForSessionID(int32_t session);
    void freeCursorForSessionID(int32_t session);
    // Announces the session's object on its alive address. Going away also forgets the session,
    // and frees its slot for cursor-like profiles.
    void sendAlive(bool on, int32_t session);

    bool useWiimoteCoalescingHack() const;
    // Sources that reported objects less than `seconds` ago.
    std::vector<std::string> sourcesSeenInLast(double seconds) const;
    // The last coordinates of the sources seen within the coalescing window other than the current
    // one.
    std::vector<std::vector<float>> otherRecentCoordinates() const;
    // The coordinates to send for `count` arguments from `argv` on (types from `types`).
    std::vector<QRBArgPtr> coordinateArguments(int count, const char* types, lo_arg** argv);

    bool profileIsKindOfCursorOrBlob() const;
    unsigned profile() const { return profile_; }
    unsigned inputMode() const { return inputMode_; }
    void setInputMode(unsigned mode) { inputMode_ = mode; }
    bool receivesAlive() const { return receivesAlive_; }
    int32_t curFseq() const { return curFseq_; }
    const std::optional<std::string>& currentSource() const { return currentSource_; }
    const std::map<int32_t, int32_t>& alive() const { return alive_; }
    const std::map<int32_t, int32_t>& fseq() const { return fseq_; }
    bool isCursorUsed(size_t slot) const { return slot < kCursorCount && cursors_[slot] != 0; }
    const QRBMessageEndpointPtr& endpoint() const { return endpoint_; }
    std::shared_ptr<QRBManager> oscManager() const { return oscManager_.lock(); }

private:
    void deliver(const std::string& path, std::vector<QRBArgPtr> arguments);
    // Keeps the per-source records of coalesced sources to those still of use.
    void forgetStaleSources();

    std::array<uint8_t, kCursorCount> cursors_{};
    bool receivesAlive_ = false;
    int32_t curFseq_ = -1;
    std::weak_ptr<QRBManager> oscManager_;
    unsigned inputMode_;
    std::map<int32_t, int32_t> alive_;  // session -> object identifier
    std::map<int32_t, int32_t> fseq_;   // session -> frame of its last "set"
    unsigned profile_;
    std::optional<std::string> currentSource_;
    QRBMessageEndpointPtr endpoint_;
    std::map<std::string, std::vector<float>> lastSetCoordinates_;
    std::map<std::string, double> sourcesLastSeenTimes_;  // main run loop clock
};

using TUIOProfileInterpreterPtr = std::shared_ptr<TUIOProfileInterpreter>;
