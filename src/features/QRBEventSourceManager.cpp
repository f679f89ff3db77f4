#include "features/QRBEventSourceManager.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBContext.h"
#include "document/QRBManager.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/Resources.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/outputs/QRBMidiNoteEventSource.h"
#include "midi/outputs/QRBMidiPacketEventSource.h"
#include "zz/ZZMenuText.h"

#include <climits>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

constexpr const char* kTUIOPrefix = "/tuio/";
constexpr const char* kWacomPrefix = "/wacom/";
constexpr const char* kMIDIPrefix = "/midi/";
constexpr const char* kQuorbitalPrefix = "/quorbital/";
constexpr const char* kWiiPrefix = "/wii/";

bool hasPrefix(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Reads an address the way the producers write it: words and decimal integers, blanks skipped
// before each.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    // Consumes `word` when the text continues with it.
    bool scanString(std::string_view word) {
        skipBlanks();
        if (!hasPrefix(text_.substr(position_), word)) return false;
        position_ += word.size();
        return true;
    }
    // Consumes an optional sign and digits; a number too large for an int reads as the nearest
    // int.
    bool scanInt(long& value) {
        skipBlanks();
        size_t at = position_;
        bool negative = false;
        if (at < text_.size() && (text_[at] == '+' || text_[at] == '-')) negative = text_[at++] == '-';
        const size_t digits = at;
        long long magnitude = 0;
        while (at < text_.size() && text_[at] >= '0' && text_[at] <= '9') {
            if (magnitude <= static_cast<long long>(INT_MAX) + 1) magnitude = magnitude * 10 + (text_[at] - '0');
            ++at;
        }
        if (at == digits) return false;
        long long signedValue = negative ? -magnitude : magnitude;
        if (signedValue > INT_MAX) signedValue = INT_MAX;
        if (signedValue < INT_MIN) signedValue = INT_MIN;
        value = static_cast<long>(signedValue);
        position_ = at;
        return true;
    }
    std::string_view rest() const { return text_.substr(position_); }

private:
    void skipBlanks() {
        while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                            text_[position_] == '\n' || text_[position_] == '\r'))
            ++position_;
    }

    std::string_view text_;
    size_t position_ = 0;
};

// Names by rank: entry r names rank r, a null entry leaves it unnamed, ranks past the list too.
void nameByRank(QRBAction& action, long rank, std::initializer_list<const char*> names) {
    if (rank < 0 || static_cast<size_t>(rank) >= names.size()) return;
    const char* name = names.begin()[rank];
    if (name) action.setName(std::string(name));
}

void setInputRange(QRBAction& action, double min, double max) {
    action.setInputMin(min);
    action.setInputMax(max);
}

void setIntegralInputRange(QRBAction& action, double min, double max) {
    setInputRange(action, min, max);
    action.setRequireIntegralInputScalingsFormatting(true);
}

// The address an action is configured by: its context's (a top-level context's own name).
std::string addressOf(const QRBAction& action) {
    if (auto context = action.context()) return context->address();
    return action.name().value_or(std::string());
}

bool contextIsTopLevel(const QRBAction& action) {
    auto context = action.context();
    return !context || context->isTopLevel();
}

std::string contextName(const QRBAction& action) {
    auto context = action.context();
    return context ? context->name().value_or(std::string()) : std::string();
}

template <class T> bool isKindOf(const QRBAction& action) {
    return action.eventSource() && dynamic_cast<const T*>(action.eventSource().get()) != nullptr;
}

}  // namespace

// ---- the shared instance and its tables ---------------------------------------------------------

QRBEventSourceManager::QRBEventSourceManager(const foundation::Dictionary& gmControlChanges) {
    midiCCEventSources_.reserve(kMidiCCCount);
    midiCCToggleEventSources_.reserve(kMidiCCCount);
    for (unsigned n = 0; n < kMidiCCCount; ++n) {
        const std::string name = foundation::format("%u", n);
        std::string alternateName = ZZMenuStringFittingTabCount(name, 1);
        auto entry = gmControlChanges.find(name);
        const std::string* gmName = entry == gmControlChanges.end() ? nullptr : entry->second.stringValue();
        alternateName += gmName ? *gmName : QRBEventSource::notAvailableString();
        midiCCEventSources_.push_back(QRBMidiCCEventSource::create(n, name, alternateName));
        midiCCToggleEventSources_.push_back(QRBMidiCCToggleEventSource::create(n, name, alternateName));
    }
}

foundation::Dictionary QRBEventSourceManager::loadGMControlChanges() {
    auto path = foundation::Resources::pathForResource(kGMControlChangesResource, "plist");
    if (!path) return {};
    try {
        foundation::Value names = foundation::propertyListFromData(foundation::readFile(*path));
        if (const auto* dictionary = names.dictionaryValue()) return *dictionary;
    } catch (const std::exception& error) {
        foundation::log(foundation::format("Warning: can't read the General MIDI controller names: %s", error.what()));
    }
    return {};
}

const std::shared_ptr<QRBEventSourceManager>& QRBEventSourceManager::sharedPointer() {
    // A function-local static: made once, whichever thread asks first.
    static const std::shared_ptr<QRBEventSourceManager> shared =
        std::make_shared<QRBEventSourceManager>(loadGMControlChanges());
    return shared;
}

QRBEventSourceManager& QRBEventSourceManager::sharedInstance() { return *sharedPointer(); }

std::shared_ptr<QRBMidiCCEventSource> QRBEventSourceManager::fetchMidiCC(long n) const {
    if (n >= 0 && n <= 127) return midiCCEventSources_[static_cast<size_t>(n)];
    if (n >= 128 && n <= 254) return midiCCEventSources_[static_cast<size_t>(n - 127)];
    return nullptr;
}

long QRBEventSourceManager::realRankForAction(const QRBAction& action) {
    auto context = action.context();
    if (!context || context.get() == &action) return -1;
    const long rank = action.rank();
    if (context->isTopLevel()) return rank;
    auto parent = context->context();
    const long split = parent ? parent->demuxRank() : -1;
    // The child of a split on argument k receives the arguments after k.
    return split < 0 ? rank : rank + split + 1;
}

// ---- configuration ------------------------------------------------------------------------------

void QRBEventSourceManager::configureAction(QRBAction& action) {
    const std::string address = addressOf(action);
    if (!action.eventSource()) {
        if (auto kyma = findKymaEventSourceMatching(address, action.rank())) action.setEventSource(kyma);
    }
    const std::string_view s = address;
    if (hasPrefix(s, kTUIOPrefix))
        configureTUIOAction(action, address.substr(std::strlen(kTUIOPrefix)));
    else if (hasPrefix(s, kWacomPrefix))
        configureWacomAction(action, address.substr(std::strlen(kWacomPrefix)));
    else if (hasPrefix(s, kMIDIPrefix))
        configureMIDIInputAction(action, address.substr(std::strlen(kMIDIPrefix)));
    else if (hasPrefix(s, kQuorbitalPrefix))
        configureQuorbitalAction(action, address.substr(std::strlen(kQuorbitalPrefix)));
    else if (hasPrefix(s, kWiiPrefix))
        configureWiiAction(action, address.substr(std::strlen(kWiiPrefix)));
}

void QRBEventSourceManager::backmap(QRBAction& action, const std::function<bool(const QRBAction&)>& predicate) {
    auto manager = std::dynamic_pointer_cast<QRBManager>(action.oscManagerOfContext());
    if (!manager) return;
    auto self = std::static_pointer_cast<QRBAction>(action.shared_from_this());
    manager->backmapAction(self, predicate);
}

void QRBEventSourceManager::configureMIDIInputAction(QRBAction& action, const std::string& rest) {
    Scanner scanner(rest);
    long number = 0, channel = 0;
    // The steps share the scanner: a step whose word matched but whose numbers did not has
    // consumed the word, and the later steps then find nothing.
    if (scanner.scanString("cc")) {
        if (scanner.scanInt(number) && scanner.scanString("/") && scanner.scanInt(channel)) {
            backmap(action, [number, channel](const QRBAction& target) {
                return isKindOf<QRBMidiCCEventSource>(target) &&
                       static_cast<const QRBMidiCCEventSource&>(*target.eventSource()).ccNumber() == number &&
                       target.channel() == channel;
            });
        }
        return;
    }
    if (scanner.scanString("wheel")) {
        if (scanner.scanString("/") && scanner.scanInt(channel))
            backmap(action, [channel](const QRBAction& target) {
                return isKindOf<QRBPitchBendEventSource>(target) && target.channel() == channel;
            });
        return;
    }
    if (scanner.scanString("pressure")) {
        if (scanner.scanString("/") && scanner.scanInt(channel))
            backmap(action, [channel](const QRBAction& target) {
                return isKindOf<QRBChannelPressureEventSource>(target) && target.channel() == channel;
            });
        return;
    }
    if (scanner.scanString("note/")) {
        if (!scanner.scanInt(channel)) return;
        switch (realRankForAction(action)) {
        case 0:
            action.setName(std::string("pitch"));
            action.setInputMax(127);
            action.setRequireIntegralInputScalingsFormatting(true);
            break;
        case 1: action.setName(std::string("velocity")); break;
        case 2:
            // A child made by splitting the note message on its pitch is named by the note number.
            if (!contextIsTopLevel(action)) {
                long note = 0;
                const std::string name = contextName(action);
                Scanner noteScanner(name);
                if (!noteScanner.scanInt(note)) note = 0;
                backmap(action, [note, channel](const QRBAction& target) {
                    return isKindOf<QRBMidiNoteEventSource>(target) &&
                           static_cast<long>(
                               static_cast<const QRBMidiNoteEventSource&>(*target.eventSource()).noteNumber()) ==
                               note &&
                           target.channel() == channel;
                });
            }
            action.setName(std::string("trigger"));
            break;
        default: break;
        }
        return;
    }
    const std::string_view remaining = scanner.rest();
    const long rank = action.rank();
    if (hasPrefix(remaining, "clock/position")) {
        if (rank == 0) {
            action.setName(std::string("beat"));
            setIntegralInputRange(action, 0, 3);
        } else if (rank == 1) {
            action.setName(std::string("sub-beat"));
            setIntegralInputRange(action, 0, 5);
        }
    } else if (hasPrefix(remaining, "raw/paca-out")) {
        action.setEventSource(std::make_shared<QRBMidiPacketEventSource>());
    } else if (hasPrefix(remaining, "mtc/frame")) {
        struct Field {
            const char* name;
            double max;  // 0: the ranges stay
        };
        static constexpr Field fields[] = {{"hours", 23},  {"minutes", 59},   {"seconds", 59},
                                           {"frames", 29}, {"frame rate", 0}, {"HH:MM:SS.FF string", 0}};
        if (rank < 0 || rank >= static_cast<long>(std::size(fields))) return;
        const Field& field = fields[rank];
        action.setName(std::string(field.name));
        if (field.max > 0) {
            setIntegralInputRange(action, 0, field.max);
            action.setOutputMin(0);
            action.setOutputMax(field.max);
        }
    }
}

void QRBEventSourceManager::configureQuorbitalAction(QRBAction& action, const std::string& rest) {
    if (hasPrefix(rest, "mapping")) nameByRank(action, realRankForAction(action), {"name", "index", "trigger"});
}

void QRBEventSourceManager::configureWiiAction(QRBAction& action, const std::string& rest) {
    Scanner scanner(rest);
    long remote = 0;
    if (!scanner.scanInt(remote) || remote <= 0) return;
    action.setChannel(remote);

    const std::string address = addressOf(action);
    auto contains = [&address](const char* part) { return address.find(part) != std::string::npos; };
    const long rank = action.rank();
    if (contains("/pry")) {
        nameByRank(action, rank, {"pitch", "roll", "yaw", "accel"});
    } else if (contains("/xyz") || contains("/joy") || contains("/stick")) {
        nameByRank(action, rank, {"x", "y", "z"});
    } else if (contains("/ir")) {
        nameByRank(action, rank, {"x", "y", "size"});
    } else if (contains("/balance")) {
        nameByRank(action, rank,
                   {"bottom left", "bottom right", "top left", "top right", "sum", "virtual x", "virtual y"});
    } else if (contains("/guitar/strip")) {
        nameByRank(action, rank, {"value", "pressed"});
    } else if (contains("/guitar/whammy")) {
        // The whammy bar rests up: its output falls as the bar is pressed.
        action.setOutputMin(0.5);
        action.setOutputMax(0.0);
    } else if (contains("/motion/angles")) {
        nameByRank(action, rank, {"pitch", "roll", "yaw"});
    } else if (contains("/motion/velo")) {
        nameByRank(action, rank, {"pitch velocity", "roll velocity", "yaw velocity"});
    }
}

void QRBEventSourceManager::configureWacomAction(QRBAction& action, const std::string& rest) {
    Scanner scanner(rest);
    long tablet = 0;
    const long rank = action.rank();
    if (scanner.scanInt(tablet) && scanner.scanString("/strip"))
        nameByRank(action, rank, {"value", "pressed"});
    else
        nameByRank(action, rank, {"x", "y", "tilt x", "tilt y", "pressure"});
}

void QRBEventSourceManager::configureTUIOAction(QRBAction& action, const std::string& rest) {
    const long rank = action.rank();
    auto angle = [&action](long wanted, long rank) {
        if (rank == wanted) setInputRange(action, 0, kFullCircle);
    };
    if (hasPrefix(rest, "2D/obj")) {
        nameByRank(action, rank,
                   {"x position", "y position", "z rotation", "x velocity", "y velocity", "z angular velocity", "a",
                    "z rotation accel"});
        angle(2, rank);
        angle(5, rank);
        angle(7, rank);
    } else if (hasPrefix(rest, "2D/cur")) {
        // "postition" is how existing mappings spell it.
        nameByRank(action, rank, {"x postition", "y postition", "x velocity", "y velocity", "accel"});
    } else if (hasPrefix(rest, "2D/blb")) {
        nameByRank(action, rank,
                   {"x position", "y position", "z rotation", "width", "height", "size", "x velocity", "y velocity",
                    "z angular velocity", "motion accel", "rotation accel"});
        angle(2, rank);
    } else if (hasPrefix(rest, "2Dobj")) {
        const std::string name = contextName(action);
        Scanner scanner(name);
        long classID = 0;
        if (scanner.scanInt(classID)) {
            nameByRank(action, rank, {"x", "y", "rz", "vx", "vy", "vrz", "a", "arz"});
            angle(2, rank);
            angle(5, rank);
            angle(7, rank);
        } else if (name == "set") {
            nameByRank(action, rank, {"sessionID"});
        }
    } else if (hasPrefix(rest, "2Dcur")) {
        auto context = action.context();
        if (context && context->name() == std::string("set") && context->demuxRank() < 0)
            nameByRank(action, rank, {"sessionID", "x", "y", "vx", "vy", "v"});
    }
}
