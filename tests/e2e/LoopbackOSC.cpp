#include "LoopbackOSC.h"

#include <lo/lo.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

void sendOSC(long port, const std::string& path, std::optional<float> argument) {
    lo_message message = lo_message_new();
    if (argument) lo_message_add_float(message, *argument);
    size_t size = 0;
    void* bytes = lo_message_serialise(message, path.c_str(), nullptr, &size);
    lo_message_free(message);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    std::free(bytes);
}

Receiver::Receiver() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

Receiver::~Receiver() { close(fd_); }

std::optional<std::string> Receiver::receive(double timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return std::nullopt;
    char buffer[2048];
    const ssize_t size = recv(fd_, buffer, sizeof buffer, 0);
    if (size <= 0) return std::nullopt;
    int result = 0;
    lo_message message = lo_message_deserialise(buffer, static_cast<size_t>(size), &result);
    if (!message) return "(not OSC)";
    std::string text = std::string(buffer) + " ," + lo_message_get_types(message);
    lo_arg** arguments = lo_message_get_argv(message);
    const char* types = lo_message_get_types(message);
    for (int i = 0; types[i]; ++i) {
        if (types[i] == 'f') text += " " + std::to_string(arguments[i]->f);
    }
    lo_message_free(message);
    return text;
}

std::optional<std::string> sendUntilRouted(long port, const std::string& path, float value, Receiver& receiver) {
    std::optional<std::string> received;
    for (int attempt = 0; attempt < 40 && !received; ++attempt) {
        sendOSC(port, path, value);
        received = receiver.receive(0.25);
    }
    return received;
}
