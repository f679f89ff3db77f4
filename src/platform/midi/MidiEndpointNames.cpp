#include "platform/midi/MidiEndpointNames.h"

#include <strings.h>

#include <algorithm>

namespace platform {

std::string midiEndpointName(const std::string& client, const std::string& port) {
    if (client.empty() || strcasecmp(client.c_str(), port.c_str()) == 0) return port;
    if (port.empty()) return client;
    return client + " " + port;
}

std::string midiConnectedNames(const std::vector<MidiConnectionPeer>& peers) {
    std::vector<std::string> names;
    for (const auto& peer : peers) {
        if (peer.own) continue;
        std::string name = midiEndpointName(peer.client, peer.port);
        // A port connected twice (JACK lists a connection once per direction asked) is one name.
        if (name.empty() || std::find(names.begin(), names.end(), name) != names.end()) continue;
        names.push_back(std::move(name));
    }
    std::string joined;
    for (const auto& name : names) {
        if (!joined.empty()) joined += ", ";
        joined += name;
    }
    return joined;
}

}  // namespace platform
