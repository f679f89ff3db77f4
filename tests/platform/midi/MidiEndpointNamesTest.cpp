// The names the JACK and ALSA backends give ports and their connections, without a MIDI system.

#include "platform/midi/MidiEndpointNames.h"

#include <gtest/gtest.h>

namespace {

using platform::MidiConnectionPeer;

TEST(MidiEndpointNames, AFullNameIsClientAndPortUnlessOneSaysItAll) {
    struct Case {
        const char* client;
        const char* port;
        const char* name;
    };
    const Case cases[] = {
        {"Keystation", "MIDI 1", "Keystation MIDI 1"},
        {"Synth", "synth", "synth"},  // the same in any case: said once
        {"", "system:midi_capture_1", "system:midi_capture_1"},
        {"Lonely", "", "Lonely"},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::midiEndpointName(c.client, c.port), c.name) << c.client;
}

TEST(MidiEndpointNames, ConnectionsAreNamedInOrderOnceEachWithoutTheProgramsOwnPorts) {
    struct Case {
        std::vector<MidiConnectionPeer> peers;
        const char* names;
    };
    const Case cases[] = {
        {{}, ""},
        {{{"Synth", "In", false}}, "Synth In"},
        {{{"Synth", "In", false}, {"Recorder", "recorder", false}}, "Synth In, recorder"},
        // The program's own input port listening to the source is no connection the user made.
        {{{"Quorbital", "QuorbitalPhySrc 1", true}, {"Synth", "In", false}}, "Synth In"},
        {{{"Quorbital", "Quorbital In", true}}, ""},
        {{{"Synth", "In", false}, {"Synth", "In", false}}, "Synth In"},
        {{{"", "", false}}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::midiConnectedNames(c.peers), c.names);
}

}  // namespace
