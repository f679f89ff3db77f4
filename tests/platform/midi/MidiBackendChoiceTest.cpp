// The MIDI system chosen at start-up: JACK when a server runs, else ALSA, else none with one log
// line; the setting forces one.

#include "foundation/Log.h"
#include "platform/midi/FakeMidiBackend.h"
#include "platform/midi/MidiBackendChoice.h"

#include <gtest/gtest.h>

namespace {

TEST(MidiBackendChoiceTest, ChoosesByWhatRunsUnlessTheSettingSays) {
    auto jack = std::make_shared<platform::FakeMidiBackend>();
    auto alsa = std::make_shared<platform::FakeMidiBackend>();
    struct Case {
        std::optional<std::string> setting;
        bool jackRuns, alsaOpens;
        const char* chosen;  // "jack", "alsa" or nullptr
        const char* logged;
    };
    const std::vector<Case> cases = {
        {std::nullopt, true, true, "jack", nullptr},
        {std::nullopt, false, true, "alsa", nullptr},
        {std::nullopt, false, false, nullptr, "MIDI is off: no JACK server and no ALSA sequencer"},
        {std::string("ALSA"), true, true, "alsa", nullptr},
        {std::string("jack"), false, true, nullptr, "MIDI is off: no JACK server"},
        {std::string("none"), true, true, nullptr, "MIDI is off"},
        {std::string("coremidi"), false, true, "alsa", "Unknown MIDIBackend setting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting.value_or("(none)") + (c.jackRuns ? " jack" : "") + (c.alsaOpens ? " alsa" : ""));
        foundation::LogCapture log;
        auto chosen = platform::chooseMidiBackend(
            c.setting, [&]() -> std::shared_ptr<midi::MidiBackend> { return c.jackRuns ? jack : nullptr; },
            [&]() -> std::shared_ptr<midi::MidiBackend> { return c.alsaOpens ? alsa : nullptr; });
        std::shared_ptr<midi::MidiBackend> expected;
        if (c.chosen) expected = std::string(c.chosen) == "jack" ? jack : alsa;
        EXPECT_EQ(chosen, expected);
        if (c.logged)
            EXPECT_TRUE(log.contains(c.logged));
        else
            EXPECT_TRUE(log.lines().empty());
    }
}

}  // namespace
