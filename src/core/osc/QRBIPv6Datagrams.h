#pragma once
// UDP output to IPv6 hosts. liblo as Linux distributions build it resolves and sends UDP over IPv4
// only, so an OSC target given an IPv6 address ("[::1]:9000", or a name with IPv6 addresses only)
// could never be reached through it. Such datagrams leave from the UDP server's IPv6 socket, so
// that replies come back to the document's port, or, where the server has none, from a socket of
// this sender's own (an ephemeral port).

#include "core/osc/QRBTCPConnection.h"

#include <cstddef>
#include <string>

class QRBServer;

class QRBIPv6Datagrams {
public:
    QRBIPv6Datagrams() = default;
    ~QRBIPv6Datagrams();
    QRBIPv6Datagrams(const QRBIPv6Datagrams&) = delete;
    QRBIPv6Datagrams& operator=(const QRBIPv6Datagrams&) = delete;

    // Whether a numeric host (as targets hand liblo) is an IPv6 address.
    static bool isIPv6Host(const char* host);

    // Sends one packet to a numeric IPv6 host and port, from `server`'s socket when it has one
    // for IPv6; never blocks.
    QRBSendResult send(const std::string& host, const std::string& port, const void* packet, size_t size,
                       QRBServer* server = nullptr);

private:
    int fd_ = -1;
};
