#include "features/TUIOProfileInterpreter.h"

#include "core/osc/QRBOSCMessage.h"
#include "document/QRBManager.h"
#include "features/QRBInterpretationManager.h"
#include "foundation/Date.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <cstring>

namespace {

struct ProfileDescription {
    const char* address;
    const char* objectFormat;
    const char* aliveFormat;
    bool cursorLike;
};

constexpr ProfileDescription kProfiles[TUIOProfileInterpreter::kProfileCount] = {
    {"/tuio/2Dobj", "/tuio/2D/obj/%d", "/tuio/2D/obj/%d/alive", false},
    {"/tuio/2Dcur", "/tuio/2D/cur/%d", "/tuio/2D/cur/%d/alive", true},
    {"/tuio/2Dblb", "/tuio/2D/blb/%d", "/tuio/2D/blb/%d/alive", true},
    {"/tuio/3Dobj", "/tuio/3D/obj/%d", "/tuio/3D/obj/%d/alive", false},
    {"/tuio/3Dcur", "/tuio/3D/cur/%d", "/tuio/3D/cur/%d/alive", true},
};

// Beyond this many sources the records of those no longer of use are dropped, so a sender that
// keeps inventing source names cannot make them grow without end.
constexpr size_t kMaxRecordedSources = 32;

bool isString(char type) { return type == 's' || type == 'S'; }

// liblo's argument pointers are only 4-byte aligned: they are read as bytes, never through lo_arg.
const char* stringArgument(lo_arg* arg) { return reinterpret_cast<const char*>(arg); }

int32_t int32Argument(lo_arg* arg) {
    int32_t value;
    std::memcpy(&value, arg, sizeof value);
    return value;
}

double now() { return foundation::RunLoop::main().now(); }

}  // namespace

TUIOProfileInterpreter::TUIOProfileInterpreter(const std::shared_ptr<QRBManager>& manager, unsigned profile)
    : oscManager_(manager),
      inputMode_(QRBInterpretationManager::kInterpretMode),
      profile_(profile < kProfileCount ? profile : Cursor2D),
      endpoint_(std::make_shared<QRBMessageEndpoint>(kEndpointName, QRBMessageEndpoint::kDirectionIncoming)) {}

const char* TUIOProfileInterpreter::profileAddress(unsigned profile) {
    return profile < kProfileCount ? kProfiles[profile].address : nullptr;
}

bool TUIOProfileInterpreter::profileIsKindOfCursorOrBlob() const { return kProfiles[profile_].cursorLike; }

// ---- dispatch -------------------------------------------------------------------------------------

int TUIOProfileInterpreter::interpret(const char* types, lo_arg** argv, int argc) {
    if (!(inputMode_ & QRBInterpretationManager::kInterpretMode)) return 0;
    if (argc < 1 || !types || !isString(types[0])) return 0;
    const char* word = stringArgument(argv[0]);
    if (std::strcmp(word, "alive") == 0) return processAlive(types, argv, argc);
    if (std::strcmp(word, "set") == 0) return processSet(types, argv, argc);
    if (std::strcmp(word, "fseq") == 0) return processFseq(types, argv, argc);
    if (std::strcmp(word, "source") == 0) return processSource(types, argv, argc);
    return 0;
}

int TUIOProfileInterpreter::processSource(const char* types, lo_arg** argv, int argc) {
    if (argc == 2 && isString(types[1])) {
        std::string source = stringArgument(argv[1]);
        if (currentSource_ != source) currentSource_ = std::move(source);
    }
    return 0;
}

int TUIOProfileInterpreter::processAlive(const char* types, lo_arg** argv, int argc) {
    std::map<int32_t, int32_t> present;
    for (int i = 1; i < argc; ++i) {
        // Session identifiers are int32; anything else names no session.
        if (types[i] != 'i') continue;
        const int32_t session = int32Argument(argv[i]);
        if (auto identifier = identifierForSessionID(session)) present[session] = *identifier;
    }

    if (useWiimoteCoalescingHack()) {
        if (currentSource_ && !present.empty()) {
            sourcesLastSeenTimes_[*currentSource_] = now();
            forgetStaleSources();
        }
        return 0;
    }

    // sendAlive forgets the sessions that go: walk a copy.
    const std::map<int32_t, int32_t> previous = alive_;
    for (const auto& entry : previous)
        if (!present.count(entry.first)) sendAlive(false, entry.first);
    alive_ = std::move(present);
    receivesAlive_ = true;
    return 0;
}

int TUIOProfileInterpreter::processSet(const char* types, lo_arg** argv, int argc) {
    if (argc < 2 || types[1] != 'i') return -1;
    const int32_t session = int32Argument(argv[1]);

    int first;
    if (profileIsKindOfCursorOrBlob()) {
        first = 2;
        if (argc <= first) return -1;  // no coordinates
        cursorForSessionID(session);
    } else {
        first = 3;
        if (argc <= first || types[2] != 'i') return -1;  // no class identifier, or no coordinates
        setAliveIdentifier(int32Argument(argv[2]), session);
    }

    const std::optional<int32_t> identifier = identifierForSessionID(session);
    if (!identifier) return 0;  // no slot left: dropped (logged)
    fseq_[session] = curFseq_;

    std::vector<QRBArgPtr> coordinates = coordinateArguments(argc - first, types + first, argv + first);
    deliver(foundation::format(kProfiles[profile_].objectFormat, *identifier), std::move(coordinates));
    // Without "alive" messages every "set" announces its object again.
    if (!receivesAlive_) sendAlive(true, session);
    return 0;
}

int TUIOProfileInterpreter::processFseq(const char* types, lo_arg** argv, int argc) {
    if (receivesAlive_) return 0;
    if (sourcesSeenInLast(kSeenWindow).empty()) {
        // sendAlive forgets the sessions it announces gone: walk a copy.
        const std::map<int32_t, int32_t> frame = fseq_;
        for (const auto& entry : frame) sendAlive(false, entry.first);
        fseq_.clear();
    }
    if (argc == 2 && types[1] == 'i') {
        curFseq_ = int32Argument(argv[1]);
        return 0;
    }
    return -1;
}

// ---- sessions --------------------------------------------------------------------------------------

std::optional<int32_t> TUIOProfileInterpreter::identifierForSessionID(int32_t session) const {
    auto it = alive_.find(session);
    if (it == alive_.end()) return std::nullopt;
    return it->second;
}

void TUIOProfileInterpreter::setAliveIdentifier(int32_t identifier, int32_t session) {
    const bool known = alive_.count(session) != 0;
    alive_[session] = identifier;
    if (!known) sendAlive(true, session);
}

std::optional<int32_t> TUIOProfileInterpreter::cursorForSessionID(int32_t session) {
    if (auto identifier = identifierForSessionID(session)) return identifier;
    for (size_t slot = 0; slot < kCursorCount; ++slot) {
        if (cursors_[slot]) continue;
        cursors_[slot] = 1;
        setAliveIdentifier(static_cast<int32_t>(slot), session);
        return static_cast<int32_t>(slot);
    }
    const foundation::LogKind kind("TUIO cursors exhausted");
    foundation::log(kNoFreeCursorLog);
    return std::nullopt;
}

void TUIOProfileInterpreter::freeCursorForSessionID(int32_t session) {
    auto identifier = identifierForSessionID(session);
    if (identifier && *identifier >= 0 && size_t(*identifier) < kCursorCount) cursors_[size_t(*identifier)] = 0;
}

void TUIOProfileInterpreter::sendAlive(bool on, int32_t session) {
    const std::optional<int32_t> identifier = identifierForSessionID(session);
    if (!identifier) return;
    deliver(foundation::format(kProfiles[profile_].aliveFormat, *identifier),
            {QRBArg::argWithFloatValue(on ? 1.0f : 0.0f)});
    if (on) return;
    fseq_.erase(session);
    if (profileIsKindOfCursorOrBlob()) freeCursorForSessionID(session);
    // A session that went is forgotten with its slot: kept, it would still name the slot that
    // another session may take next, and the two would share one address.
    alive_.erase(session);
}

void TUIOProfileInterpreter::deliver(const std::string& path, std::vector<QRBArgPtr> arguments) {
    auto manager = oscManager();
    if (!manager) return;
    manager->receive(QRBOSCMessage::OSCMessageWithPath(path, std::move(arguments)), endpoint_, foundation::Date::now());
}

// ---- coalesced sources ---------------------------------------------------------------------------

bool TUIOProfileInterpreter::useWiimoteCoalescingHack() const {
    return currentSource_ && currentSource_->find(kCoalescedSourceMark) != std::string::npos;
}

std::vector<std::string> TUIOProfileInterpreter::sourcesSeenInLast(double seconds) const {
    std::vector<std::string> names;
    const double time = now();
    for (const auto& [name, seen] : sourcesLastSeenTimes_)
        if (time - seen < seconds) names.push_back(name);
    return names;
}

std::vector<std::vector<float>> TUIOProfileInterpreter::otherRecentCoordinates() const {
    std::vector<std::vector<float>> others;
    for (const std::string& name : sourcesSeenInLast(kCoalescingWindow)) {
        if (currentSource_ && name == *currentSource_) continue;
        auto it = lastSetCoordinates_.find(name);
        if (it != lastSetCoordinates_.end()) others.push_back(it->second);
    }
    return others;
}

std::vector<QRBArgPtr> TUIOProfileInterpreter::coordinateArguments(int count, const char* types, lo_arg** argv) {
    std::vector<float> values;
    values.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        // Each argument by its own type, so that no argument is read as more bytes than it has.
        QRBArgPtr arg = QRBArg::argOfType(types[i], argv[i]);
        values.push_back(arg ? arg->floatValue() : 0.0f);
    }
    // Only coalesced sources are ever averaged with: the coordinates of others are not kept.
    if (useWiimoteCoalescingHack()) {
        lastSetCoordinates_[*currentSource_] = values;
        forgetStaleSources();
        const std::vector<std::vector<float>> others = otherRecentCoordinates();
        if (!others.empty()) {
            std::vector<double> sums(values.begin(), values.end());
            size_t contributors = 1;
            for (const auto& other : others) {
                if (other.size() != values.size()) {
                    const foundation::LogKind kind("TUIO coalescing failure");
                    foundation::log(kCoalesceFailureLog);
                    continue;
                }
                for (size_t i = 0; i < values.size(); ++i) sums[i] += other[i];
                ++contributors;
            }
            for (size_t i = 0; i < values.size(); ++i) values[i] = float(sums[i] / double(contributors));
        }
    }
    std::vector<QRBArgPtr> arguments;
    arguments.reserve(values.size());
    for (float value : values) arguments.push_back(QRBArg::argWithFloatValue(value));
    return arguments;
}

void TUIOProfileInterpreter::forgetStaleSources() {
    if (sourcesLastSeenTimes_.size() + lastSetCoordinates_.size() <= kMaxRecordedSources) return;
    const double time = now();
    auto stale = [&](const std::string& name) {
        if (currentSource_ && name == *currentSource_) return false;
        auto seen = sourcesLastSeenTimes_.find(name);
        return seen == sourcesLastSeenTimes_.end() || time - seen->second >= kCoalescingWindow;
    };
    for (auto it = lastSetCoordinates_.begin(); it != lastSetCoordinates_.end();)
        it = stale(it->first) ? lastSetCoordinates_.erase(it) : std::next(it);
    for (auto it = sourcesLastSeenTimes_.begin(); it != sourcesLastSeenTimes_.end();)
        it = stale(it->first) ? sourcesLastSeenTimes_.erase(it) : std::next(it);
}
