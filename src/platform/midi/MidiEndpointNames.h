#pragma once
// Names of MIDI ports as the layer shows them, for the JACK and ALSA backends alike: a port's full
// name from its client's and its own, and the names of what a port is connected to, which the
// endpoint shows in place of its own name (a keyboard's output port shows the synthesizer it feeds).

#include <string>
#include <vector>

namespace platform {

// "<client> <port>"; the port alone when the client has no name or the two are the same (any case).
std::string midiEndpointName(const std::string& client, const std::string& port);

// One port at the other end of a connection.
struct MidiConnectionPeer {
    std::string client;
    std::string port;
    // One of the program's own ports: its connections to the machine's ports are not what the
    // user connected, and its virtual endpoints are not devices.
    bool own = false;
};

// The full names of the peers that are not the program's own, in order, each once, joined with
// ", "; empty when none is left.
std::string midiConnectedNames(const std::vector<MidiConnectionPeer>& peers);

}  // namespace platform
