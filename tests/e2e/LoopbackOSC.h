#pragma once
// OSC over UDP on the loopback, for tests that run the program: sending a message to its port,
// and a socket of its own standing for the device a document routes to.

#include <optional>
#include <string>

// Sends an OSC message to a port on the loopback.
void sendOSC(long port, const std::string& path, std::optional<float> argument = std::nullopt);

// A UDP socket on an ephemeral loopback port, standing for the device a document routes to.
class Receiver {
public:
    Receiver();
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    long port() const { return port_; }

    // The next message as "path ,types value…", or none within `timeout` seconds.
    std::optional<std::string> receive(double timeout);

private:
    int fd_ = -1;
    long port_ = 0;
};

// Sends the message again until the receiver gets what was routed of it (the server may still be
// starting), for at most ten seconds.
std::optional<std::string> sendUntilRouted(long port, const std::string& path, float value, Receiver& receiver);
