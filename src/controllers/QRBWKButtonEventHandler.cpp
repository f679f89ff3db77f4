#include "controllers/QRBWKButtonEventHandler.h"

#include <map>
#include <utility>

namespace {

using ButtonTable = std::map<std::pair<int, uint32_t>, const char*>;

// Built once for the process; keyed by source and button code.
const ButtonTable& buttonTable() {
    static const ButtonTable table = [] {
        ButtonTable t;
        auto add = [&t](int source, std::initializer_list<std::pair<uint32_t, const char*>> entries) {
            for (const auto& [code, format] : entries) t.emplace(std::make_pair(source, code), format);
        };
        add(0, {{0x0800, "/wii/%i/button/Up"},
                {0x0400, "/wii/%i/button/Down"},
                {0x0100, "/wii/%i/button/Left"},
                {0x0200, "/wii/%i/button/Right"},
                {0x0010, "/wii/%i/button/Minus"},
                {0x0080, "/wii/%i/button/Home"},
                {0x1000, "/wii/%i/button/Plus"},
                {0x0002, "/wii/%i/button/1"},
                {0x0001, "/wii/%i/button/2"},
                {0x0008, "/wii/%i/button/A"},
                {0x0004, "/wii/%i/button/B"}});
        add(1, {{0x0002, "/wii/%i/nunchuk/button/C"}, {0x0001, "/wii/%i/nunchuk/button/Z"}});
        add(2, {{0x0001, "/wii/%i/classic/button/Up"},
                {0x4000, "/wii/%i/classic/button/Down"},
                {0x0002, "/wii/%i/classic/button/Left"},
                {0x8000, "/wii/%i/classic/button/Right"},
                {0x1000, "/wii/%i/classic/button/Minus"},
                {0x0800, "/wii/%i/classic/button/Home"},
                {0x0400, "/wii/%i/classic/button/Plus"},
                {0x0008, "/wii/%i/classic/button/X"},
                {0x0020, "/wii/%i/classic/button/Y"},
                {0x0010, "/wii/%i/classic/button/A"},
                {0x0040, "/wii/%i/classic/button/B"},
                {0x2000, "/wii/%i/classic/button/L"},
                {0x0200, "/wii/%i/classic/button/R"},
                {0x0080, "/wii/%i/classic/button/ZL"},
                {0x0004, "/wii/%i/classic/button/ZR"}});
        add(8, {{0x0400, "/wii/%i/guitar/button/Plus"},
                {0x1000, "/wii/%i/guitar/button/Minus"},
                {0x4000, "/wii/%i/guitar/strum/Down"},
                {0x0001, "/wii/%i/guitar/strum/Up"},
                {0x0008, "/wii/%i/guitar/key/Y"},
                {0x0080, "/wii/%i/guitar/key/O"},
                {0x0010, "/wii/%i/guitar/key/G"},
                {0x0020, "/wii/%i/guitar/key/B"},
                {0x0040, "/wii/%i/guitar/key/R"}});
        add(16, {{0x0400, "/wii/%i/drums/button/Plus"},
                 {0x1000, "/wii/%i/drums/button/Minus"},
                 {0x0004, "/wii/%i/drums/pad/K/trig"},
                 {0x0020, "/wii/%i/drums/pad/Y/trig"},
                 {0x0080, "/wii/%i/drums/pad/O/trig"},
                 {0x0010, "/wii/%i/drums/pad/G/trig"},
                 {0x0008, "/wii/%i/drums/pad/B/trig"},
                 {0x0040, "/wii/%i/drums/pad/R/trig"}});
        add(64, {{0x2000, "/wii/%i/dj/left/key/R"},
                 {0x0008, "/wii/%i/dj/left/key/G"},
                 {0x0080, "/wii/%i/dj/left/key/B"},
                 {0x0200, "/wii/%i/dj/right/key/R"},
                 {0x0020, "/wii/%i/dj/right/key/G"},
                 {0x0004, "/wii/%i/dj/right/key/B"},
                 {0x0010, "/wii/%i/dj/button/E"},
                 {0x0400, "/wii/%i/dj/button/Plus"},
                 {0x1000, "/wii/%i/dj/button/Minus"}});
        return t;
    }();
    return table;
}

}  // namespace

const char* QRBWKButtonEventHandler::addressFormat(int source, uint32_t button) {
    const auto& table = buttonTable();
    auto it = table.find({source, button});
    return it == table.end() ? nullptr : it->second;
}

void QRBWKButtonEventHandler::handleEvent(const devices::WiiEvent& event) {
    if (const char* format = addressFormat(event.source, event.button))
        addMessage(format, {event.buttonIsUp ? 0.0 : 1.0});
}
