#include "core/osc/QRBIPv6Datagrams.h"

#include "core/osc/QRBServer.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

QRBIPv6Datagrams::~QRBIPv6Datagrams() {
    if (fd_ >= 0) close(fd_);
}

bool QRBIPv6Datagrams::isIPv6Host(const char* host) { return host && std::strchr(host, ':') != nullptr; }

QRBSendResult QRBIPv6Datagrams::send(const std::string& host, const std::string& port, const void* packet, size_t size,
                                     QRBServer* server) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;  // never asks a resolver
    addrinfo* found = nullptr;
    if (const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); status != 0)
        return {EINVAL, gai_strerror(status)};
    QRBSendResult result;
    if (const int error =
            server && found->ai_addrlen == sizeof(sockaddr_in6)
                ? server->sendDatagram(packet, size, *reinterpret_cast<const sockaddr_in6*>(found->ai_addr))
                : EBADF;
        error != EBADF) {
        if (error != 0) result = {error, std::strerror(error)};
        freeaddrinfo(found);
        return result;
    }
    if (fd_ < 0) fd_ = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || sendto(fd_, packet, size, 0, found->ai_addr, found->ai_addrlen) < 0)
        result = {errno, std::strerror(errno)};
    freeaddrinfo(found);
    return result;
}
