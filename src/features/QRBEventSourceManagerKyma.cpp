// The Kyma part of the event-source manager: the controller and special outputs, the hint table
// and the matching of new actions' addresses to Kyma controls.

#include "core/QRBPreferences.h"
#include "controllers/QRBKeyEventSource.h"
#include "features/QRBEventSourceManager.h"
#include "features/QRBKymaCCEventSource.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/Resources.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <utility>

namespace {

// Controller number → hint, used when the global map file gives none.
const std::pair<int64_t, const char*> kDefaultHints[] = {
    {1, "Modulation"}, {7, "Volume"},     {64, "Damper"},      {11, "Attack"},   {12, "Bandwidth"}, {13, "Cutoff"},
    {14, "Delay"},     {15, "Duration"},  {16, "DurDev"},      {17, "Feedback"}, {18, "Formant"},   {19, "Frequency"},
    {20, "FreqDev"},   {21, "Index"},     {22, "Pan"},         {23, "Morph"},    {24, "Rate"},      {25, "Release"},
    {26, "Start"},     {31, "sw01"},      {32, "sw02"},        {33, "sw03"},     {34, "sw04"},      {35, "sw05"},
    {36, "sw06"},      {37, "sw07"},      {38, "sw08"},        {39, "sw09"},     {40, "sw10"},      {41, "sw11"},
    {42, "sw12"},      {43, "AB"},        {44, "Bypass"},      {45, "Gater"},    {46, "Trigger"},   {47, "Gate"},
    {48, "Reset"},     {49, "Unpitched"}, {50, "Fundamental"}, {51, "Pause"},
};

// The groups of the special mappings resource and their titles in the menu.
const std::pair<const char*, const char*> kSpecialGroups[] = {
    {"Special", "Special"}, {"Wii", "Wiimote"}, {"Pen", "Tablet"}};

// Key codes of the Wii remote's minus, home and plus buttons: up arrow, space, down arrow.
constexpr uint16_t kUpArrowKeyCode = 126;
constexpr uint16_t kSpaceKeyCode = 49;
constexpr uint16_t kDownArrowKeyCode = 125;

std::string latin1ToUTF8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(char(c));
        } else {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string lowercase(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> split(const std::string& s, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = s.find(separator, start)) != std::string::npos; start = at + separator.size())
        parts.push_back(s.substr(start, at - start));
    parts.push_back(s.substr(start));
    return parts;
}

// The integer at the start of the text, after white space and an optional sign (0 when there are
// no digits), saturated to an int, as a text field's integer value reads.
int intValue(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long value = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i)
        value = std::min<long long>(value * 10 + (s[i] - '0'), 1LL << 32);
    if (negative) value = -value;
    return int(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// One line of the global map: [spaces and "("] "!" name "is:" "`MIDIController" number [...].
std::optional<std::pair<std::string, int64_t>> parseMapLine(std::string_view line) {
    size_t i = 0;
    const auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\r' || line[i] == '\n' || line[i] == '(')) ++i;
    };
    const auto expect = [&](std::string_view token) {
        skip();
        if (line.substr(i, token.size()) != token) return false;
        i += token.size();
        return true;
    };
    if (!expect("!")) return std::nullopt;
    skip();
    const size_t is = line.find("is:", i);
    if (is == std::string_view::npos) return std::nullopt;
    std::string_view name = line.substr(i, is - i);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.front()))) name.remove_prefix(1);
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.remove_suffix(1);
    i = is + 3;
    if (!expect("`MIDIController")) return std::nullopt;
    skip();
    size_t digits = i;
    if (digits < line.size() && (line[digits] == '-' || line[digits] == '+')) ++digits;
    if (digits >= line.size() || !std::isdigit(static_cast<unsigned char>(line[digits]))) return std::nullopt;
    if (name.substr(0, 2) == "cc") return std::nullopt;
    return std::make_pair(std::string(name), int64_t(intValue(line.substr(i))));
}

bool contains(const std::vector<std::string>& components, std::string_view component) {
    return std::find(components.begin(), components.end(), component) != components.end();
}

}  // namespace

// ---- hints --------------------------------------------------------------------------------------

QRBEventSourceManager::KymaHints QRBEventSourceManager::parseGlobalMap(const std::string& latin1Text) {
    const std::string text = latin1ToUTF8(latin1Text);
    // Lines end with CR; a file without any is split at LF.
    const char separator = text.find('\r') != std::string::npos ? '\r' : '\n';
    KymaHints hints;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (auto entry = parseMapLine(std::string_view(text).substr(start, end - start))) {
            std::string& hint = hints[entry->second];
            hint = hint.empty() ? entry->first : hint + ", " + entry->first;
        }
        start = end + 1;
    }
    return hints;
}

void QRBEventSourceManager::setupGlobalMapHints() {
    kymaGlobalMapHints_.clear();
    std::string text;
    if (const auto path = QRBPreferences::sharedPreferences().globalMapPath(); path && !path->empty()) {
        try {
            const foundation::Data data = foundation::readFile(*path);
            text.assign(data.begin(), data.end());
        } catch (const std::exception&) {
            text.clear();
        }
    }
    if (text.empty()) {
        setupDefaultHints();
        return;
    }
    kymaGlobalMapHints_ = parseGlobalMap(text);
}

void QRBEventSourceManager::setupDefaultHints() {
    for (const auto& [number, hint] : kDefaultHints) kymaGlobalMapHints_[number] = hint;
}

// ---- outputs ------------------------------------------------------------------------------------

const std::vector<std::shared_ptr<detail::QRBKymaCCEventSource>>& QRBEventSourceManager::kymaCCEventSources() {
    if (kymaCCEventSources_.empty()) {
        setupGlobalMapHints();
        for (int64_t n = 0; n < int64_t(kMidiCCCount); ++n) {
            const auto hint = kymaGlobalMapHints_.find(n);
            std::string name = hint != kymaGlobalMapHints_.end()
                                   ? foundation::format("%lu - %s", static_cast<unsigned long>(n), hint->second.c_str())
                                   : foundation::format("%lu", static_cast<unsigned long>(n));
            kymaCCEventSources_.push_back(std::make_shared<detail::QRBKymaCCEventSource>(n, std::move(name)));
        }
    }
    return kymaCCEventSources_;
}

std::optional<foundation::Dictionary> QRBEventSourceManager::readSpecialCCMappings() {
    const auto path = foundation::Resources::pathForResource(kSpecialCCMappingsResource, "plist");
    if (!path) return std::nullopt;
    try {
        const foundation::Value mappings = foundation::propertyListFromData(foundation::readFile(*path));
        if (const auto* dictionary = mappings.dictionaryValue()) return *dictionary;
    } catch (const std::exception&) {}
    return std::nullopt;
}

foundation::Value QRBEventSourceManager::kymaSpecialEventSources() {
    if (!kymaSpecialEventSources_.isNull()) return kymaSpecialEventSources_;
    const auto mappings = readSpecialCCMappings();
    if (!mappings) {
        foundation::log(kSpecialMappingsError);
        return {};
    }
    foundation::Array list;
    for (const auto& [group, title] : kSpecialGroups) {
        std::vector<std::pair<int64_t, std::string>> entries;
        const auto found = mappings->find(group);
        if (found != mappings->end())
            if (const auto* names = found->second.dictionaryValue())
                for (const auto& [name, number] : *names)
                    if (auto n = number.integerValue()) entries.emplace_back(*n, name);
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        foundation::Array outputs;
        for (auto& [number, name] : entries)
            outputs.emplace_back(std::make_shared<detail::QRBKymaExtEventSource>(number, std::move(name)));
        if (!list.empty()) list.emplace_back(QRBEventSource::menuSeparatorMarker());
        list.emplace_back(foundation::Dictionary{{title, foundation::Value(std::move(outputs))}});
    }
    kymaSpecialEventSources_ = foundation::Value(std::move(list));
    return kymaSpecialEventSources_;
}

QRBEventSourcePtr QRBEventSourceManager::specialEventSourceWithCC(int64_t n) {
    const foundation::Value list = kymaSpecialEventSources();
    const auto* entries = list.arrayValue();
    if (!entries) return nullptr;
    for (const auto& entry : *entries) {
        const auto* group = entry.dictionaryValue();
        if (!group) continue;
        for (const auto& [title, outputs] : *group)
            if (const auto* array = outputs.arrayValue())
                for (const auto& output : *array)
                    if (auto special = output.object<detail::QRBKymaExtEventSource>())
                        if (special->ccNumber() == n) return special;
    }
    return nullptr;
}

QRBEventSourcePtr QRBEventSourceManager::fetchKymaCC(int64_t n) {
    if (!QRBPreferences::sharedPreferences().enableKymaRelatedFeatures()) return nullptr;
    if (n < 0 || n > 127) return specialEventSourceWithCC(n);
    return kymaCCEventSources()[size_t(n)];
}

QRBEventSourcePtr QRBEventSourceManager::keyEventSourceWithKeyCode(uint16_t keyCode) {
    return std::make_shared<QRBKeyEventSource>(keyCode);
}

// ---- matching -----------------------------------------------------------------------------------

QRBEventSourcePtr QRBEventSourceManager::findKymaEventSourceMatching(const std::string& address, long actionRank) {
    if (!QRBPreferences::sharedPreferences().enableKymaRelatedFeatures()) return nullptr;
    const std::string lower = lowercase(address);
    // The z of a Wii remote's or a tablet's position never drives a control.
    if (lower.size() >= 2 && lower.compare(lower.size() - 2, 2, "/z") == 0) return nullptr;
    const std::vector<std::string> components = split(lower, "/");
    if (auto wii = matchWii(components, actionRank)) return wii;

    // /sw/3/4 is switch 12 of a grid of switches.
    std::optional<std::string> switchName;
    const auto firstSwitch = std::find(components.begin(), components.end(), "sw");
    if (firstSwitch != components.end() && components.end() - firstSwitch > 2) {
        const long long product = (long long)intValue(firstSwitch[1]) * intValue(firstSwitch[2]);
        switchName = foundation::format("sw%02lld", product);
    }
    for (auto it = components.rbegin(); it != components.rend(); ++it) {
        const std::string& x = *it == "sw" && switchName ? *switchName : *it;
        if (auto hot = matchHotVar(x)) return hot;
        if (auto cc = matchCC(x)) return cc;
    }
    return nullptr;
}

QRBEventSourcePtr QRBEventSourceManager::matchWii(const std::vector<std::string>& c, long actionRank) {
    const long r = actionRank == -1 ? 0 : actionRank;
    const long n = contains(c, "nunchuk") ? 1 : 0;
    const bool button = contains(c, "button");
    if (!contains(c, "wii") || contains(c, "classic")) return nullptr;
    if (contains(c, "accel") && contains(c, "xyz")) return fetchKymaCC(145 + 10 * n + r);
    if (contains(c, "accel") && contains(c, "pry")) return fetchKymaCC(148 + 10 * n + r);
    if (contains(c, "ir") && !contains(c, "accel")) return fetchKymaCC(152 + r);
    if (contains(c, "joy") && n == 1) return fetchKymaCC(162 + r);
    if (button && contains(c, "a")) return fetchKymaCC(166);
    if (button && contains(c, "b")) return fetchKymaCC(154);
    if (button && contains(c, "c")) return fetchKymaCC(164);
    if (button && contains(c, "z")) return fetchKymaCC(165);
    if (button && contains(c, "minus")) return keyEventSourceWithKeyCode(kUpArrowKeyCode);
    if (button && contains(c, "home")) return keyEventSourceWithKeyCode(kSpaceKeyCode);
    if (button && contains(c, "plus")) return keyEventSourceWithKeyCode(kDownArrowKeyCode);
    return nullptr;
}

QRBEventSourcePtr QRBEventSourceManager::matchHotVar(const std::string& x) {
    if (kymaCCEventSources_.empty()) kymaCCEventSources();  // the hints come with the outputs
    for (const auto& [number, hint] : kymaGlobalMapHints_)
        for (const auto& part : split(lowercase(hint), ", "))
            if (part == x) return fetchKymaCC(number);
    for (const auto& [number, hint] : kymaGlobalMapHints_) {
        for (const auto& part : split(lowercase(hint), ", ")) {
            const auto mismatch = std::mismatch(part.begin(), part.end(), x.begin(), x.end());
            if (mismatch.first - part.begin() > 2) return fetchKymaCC(number);
        }
    }
    return nullptr;
}

QRBEventSourcePtr QRBEventSourceManager::matchCC(const std::string& x) {
    const long n = matchPrefixParam("cc", x);
    return n == -1 ? nullptr : fetchKymaCC(n);
}

long QRBEventSourceManager::matchPrefixParam(const std::string& prefix, const std::string& string) {
    if (string.size() <= prefix.size() || string.compare(0, prefix.size(), prefix) != 0) return -1;
    return intValue(std::string_view(string).substr(prefix.size()));
}
