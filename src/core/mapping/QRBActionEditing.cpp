// What the main window's outline asks of a row: ranges in the user's units, expansion, and the
// channel and output-type menus as plain data that the user interface turns into menus.

#include "core/QRBPreferences.h"
#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBContext.h"

#include <cmath>
#include <string_view>

namespace {

using foundation::Array;
using foundation::Dictionary;
using foundation::Value;

bool beginsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

Value separator() { return Value(QRBEventSource::menuSeparatorMarker()); }
Value notAvailable() { return Value(QRBEventSource::notAvailableString()); }
Value group(const std::string& title, Value entries) { return Value(Dictionary{{title, std::move(entries)}}); }

Array nameList(std::initializer_list<const char*> list) {
    Array a;
    for (const char* name : list) a.emplace_back(name);
    return a;
}
Value names(std::initializer_list<const char*> list) { return Value(nameList(list)); }

}  // namespace

double QRBAction::inputScalingFudgeFactor() const {
    // A top-level context is its own context.
    auto holder = context();
    const std::string name = holder && holder->name() ? *holder->name() : std::string();
    if (!beginsWith(name, "/midi")) return 1;
    if (beginsWith(name, "/midi/cc")) return 127;
    // Note number and channel, then velocity; aftertouch: note number, then pressure.
    if (beginsWith(name, "/midi/note")) {
        const long r = rank();
        return r == 0 || r == 2 ? 1 : 127;
    }
    if (beginsWith(name, "/midi/program")) return 1;
    if (beginsWith(name, "/midi/aftertouch")) return rank() == 0 ? 1 : 127;
    if (beginsWith(name, "/midi/wheel")) return 16383;
    if (beginsWith(name, "/midi/clock")) return 1;
    return 127;
}

void QRBAction::setUserOutputMin(double value) {
    const double factor = outputScalingFudgeFactor();
    if (factor == 0) return;
    setOutputMin((value - outputScalingFudgeOffset()) / factor);
}

void QRBAction::setUserOutputMax(double value) {
    const double factor = outputScalingFudgeFactor();
    if (factor == 0) return;
    setOutputMax((value - outputScalingFudgeOffset()) / factor);
}

bool QRBAction::canEditOutputScaling() const { return eventSource_ ? eventSource_->canEditOutputScaling() : true; }

bool QRBAction::requireIntegralOutputScalingsFormatting() const {
    return eventSource_ ? eventSource_->requireIntegralScalingsFormatting() : false;
}

bool QRBAction::isExpanded() const {
    std::optional<bool> expanded = userInfoValueForKey(kExpandedKey).boolValue();
    return expanded.value_or(false);
}

void QRBAction::markAsExpanded(bool expanded) { setUserInfoValue(Value(expanded), kExpandedKey); }

bool QRBAction::expand(bool expanded) {
    if (!shouldExpand()) return false;
    markAsExpanded(expanded);
    return true;
}

std::vector<QRBChannelMenuItem> QRBAction::channelMenu() {
    const int64_t count = type_ ? static_cast<int64_t>(type_->channelCount()) : 0;
    std::vector<QRBChannelMenuItem> items;
    if (count == 0) {
        setChannel(1);
        items.push_back({QRBEventSource::notAvailableString(), std::nullopt, false});
    } else {
        items.reserve(static_cast<size_t>(count));
        for (int64_t c = 1; c <= count; ++c) items.push_back({std::to_string(c), c, c == channel_});
    }
    if (count < channel_) setChannel(1);
    return items;
}

Value QRBAction::typesCollection() const {
    const bool kyma = QRBPreferences::sharedPreferences().enableKymaRelatedFeatures();
    Array control = nameList({"MIDI CC", "MIDI CC Toggle", "MIDI Prg", "MIDI Message"});
    if (kyma) {
        for (const char* name : {"Kyma CC", "Kyma Ext", "Kyma Prg"}) control.emplace_back(name);
    }
    control.emplace_back("OSC Message");
    Array notes = nameList({"MIDI Note", "MIDI Note w/ Params"});
    if (kyma) {
        for (const char* name : {"Kyma Note", "Kyma Note w/ Params"}) notes.emplace_back(name);
    }
    notes.emplace_back("Note Params");
    return Value(Array{
        notAvailable(),
        separator(),
        group("Control", Value(std::move(control))),
        separator(),
        group("Notes", Value(std::move(notes))),
        separator(),
        group("Virtual Devices", names({"Key Combo", "Keycode", "Mouse", "HID"})),
        separator(),
        group("Meta Events", names({"Enable", "Enable Toggle", "Enable Combine", "Mappings", "Snapshots",
                                    "Change Channel", "Variable", "Delay"})),
        separator(),
        group("System", names({"AppleScript", "Console Log"})),
        separator(),
        group("Wiimote", names({"Wiimote Enable", "Vibrate", "LEDs", "MotionPlus Reset"})),
    });
}

Value QRBAction::nonNumericalTypesCollection() const {
    Array control = nameList({"OSC Message"});
    if (argValue_->libloType() == 'm') control.emplace_back("Send to MIDI");
    return Value(Array{
        notAvailable(),
        separator(),
        group("Control", Value(std::move(control))),
        separator(),
        group("Meta Events", names({"Mappings", "Variable"})),
        separator(),
        group("System", Value("Console Log")),
    });
}

Value QRBAction::multiArgTypesCollection() const {
    return Value(Array{
        notAvailable(),
        separator(),
        group("Control", names({"OSC Message"})),
        separator(),
        group("System", Value("Console Log")),
    });
}

Value QRBAction::typesMenuCollection() const {
    if (isMultiArgument()) return multiArgTypesCollection();
    return QRBArgTypeIsNumeric(internalArgType()) ? typesCollection() : nonNumericalTypesCollection();
}

Value QRBAction::valuesMenuCollection() const {
    Array collection{notAvailable(), separator()};
    Value proposed = proposedEventSourcesCollection();
    if (!proposed.isNull()) collection.push_back(std::move(proposed));
    return Value(std::move(collection));
}
