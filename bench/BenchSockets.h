#pragma once
// Loopback addresses and free ports for the benchmark programs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

inline sockaddr_in loopback(long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline bool canBind(int type, long port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address = loopback(port);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// A port free for UDP and TCP alike: a document listens on both with the same number.
inline long freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        long port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        close(fd);
        if (port > 0 && canBind(SOCK_STREAM, port)) return port;
    }
    return 0;
}

}  // namespace bench
