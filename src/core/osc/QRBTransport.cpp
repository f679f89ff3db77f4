#include "core/osc/QRBTransport.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"

#include <cstring>

namespace {

[[noreturn]] void raiseUnrecognizedProtocol() {
    foundation::raise(foundation::kGenericException, kQRBUnrecognizedProtocol);
}

const char* schemeForProtocol(int protocol) {
    switch (protocol) {
    case 0:
    case LO_UDP: return "osc.udp";
    case LO_TCP: return "osc.tcp";
    default: raiseUnrecognizedProtocol();
    }
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The parts of an OSC URL as liblo's URL rules read them. liblo's own readers are not used on
// text a user typed: for "osc.udp://" they hand back an uninitialised buffer as the host.
struct URLParts {
    int protocol = -1;  // -1 for a scheme liblo does not know
    std::string host;   // empty when there is none
    long port = 0;      // 0 without digits; -1 when the digits exceed 65535
};

URLParts parseURL(const std::string& url) {
    URLParts parts;
    if (startsWith(url, "osc:"))
        parts.protocol = LO_UDP;
    else if (startsWith(url, "osc.udp:"))
        parts.protocol = LO_UDP;
    else if (startsWith(url, "osc.tcp:"))
        parts.protocol = LO_TCP;
    else if (startsWith(url, "osc.unix:"))
        parts.protocol = LO_UNIX;

    // The authority starts after "osc://" or after "osc.<anything but : and />://".
    size_t pos;
    if (startsWith(url, "osc://")) {
        pos = 6;
    } else if (startsWith(url, "osc.")) {
        size_t end = url.find_first_of(":/", 4);
        if (end == 4 || end == std::string::npos || url.compare(end, 3, "://") != 0) return parts;
        pos = end + 3;
    } else {
        return parts;
    }

    if (pos < url.size() && url[pos] == '[') {
        size_t close = url.find_first_of("]/", pos + 1);
        if (close == std::string::npos || url[close] != ']' || close == pos + 1) return parts;
        parts.host = url.substr(pos + 1, close - pos - 1);
        pos = close + 1;
    } else {
        size_t end = url.find_first_of("[:/", pos);
        if (end == std::string::npos) end = url.size();
        parts.host = url.substr(pos, end - pos);
        pos = end;
    }

    if (pos < url.size() && url[pos] == ':') {
        long value = 0;
        for (++pos; pos < url.size() && url[pos] >= '0' && url[pos] <= '9'; ++pos) {
            if (value >= 0) {
                value = value * 10 + (url[pos] - '0');
                if (value > 65535) value = -1;
            }
        }
        parts.port = value;
    }
    return parts;
}

}  // namespace

bool QRBTransportProtocolMatches(int a, int b) {
    if (a > 1) return a == b;
    return b == LO_UDP;
}

int QRBTransportProtocolForServiceType(const std::string& serviceType) {
    if (serviceType.find(kQRBOSCUDPServiceType) != std::string::npos) return LO_UDP;
    if (serviceType.find(kQRBOSCTCPServiceType) != std::string::npos) return LO_TCP;
    foundation::logf("Warning: Unsupported Service Type: %s", serviceType.c_str());
    return LO_UDP;
}

std::string QRBServiceTypeForTransportProtocol(int protocol) {
    switch (protocol) {
    case 0:
    case LO_UDP: return kQRBOSCUDPServiceType;
    case LO_TCP: return kQRBOSCTCPServiceType;
    default: raiseUnrecognizedProtocol();
    }
}

std::string QRBLocalOSCURLForPort(long port, int protocol) {
    const char* name;
    switch (protocol) {
    case 0:
    case LO_UDP: name = "udp"; break;
    case LO_TCP: name = "tcp"; break;
    default: raiseUnrecognizedProtocol();
    }
    return foundation::format("osc.%s://127.0.0.1:%ld", name, port);
}

std::optional<std::string> QRBOSCURLForHostAndPort(int protocol, const std::optional<std::string>& host, int port) {
    if (!host) return std::nullopt;
    const char* scheme = schemeForProtocol(protocol);
    if (host->find(':') != std::string::npos) return foundation::format("%s://[%s]:%i", scheme, host->c_str(), port);
    return foundation::format("%s://%s:%i", scheme, host->c_str(), port);
}

lo_address QRBNewLoAddressFromURL(const std::string& url) {
    if (url.empty()) return nullptr;
    URLParts parts = parseURL(url);
    if (parts.host.empty() || parts.port <= 0) return nullptr;
    int protocol = parts.protocol == LO_TCP ? LO_TCP : parts.protocol == LO_UDP ? LO_UDP : -1;
    if (protocol < 0) return nullptr;
    std::string port = foundation::format("%ld", parts.port);
    return lo_address_new_with_proto(protocol, parts.host.c_str(), port.c_str());
}

std::string QRBTransportProtocolDisplayName(int protocol) {
    switch (protocol) {
    case 0:
    case LO_UDP: return "UDP";
    case LO_TCP: return "TCP";
    default: raiseUnrecognizedProtocol();
    }
}

bool QRBParseOSCAddressString(const std::string& text, int* protocol, std::string* host, long* port,
                              std::string* error) {
    if (text.empty()) return false;
    std::string url = text.find("://") == std::string::npos ? "osc.udp://" + text : text;
    URLParts parts = parseURL(url);
    if (parts.host.empty() || parts.port <= 0) {
        if (error) *error = kQRBOSCAddressNeedsHostAndPort;
        return false;
    }
    if (protocol) *protocol = parts.protocol < 0 ? LO_UDP : parts.protocol;
    if (host) *host = parts.host;
    if (port) *port = parts.port;
    return true;
}

bool QRBIsStringTypeTag(char type) { return type == 's' || type == 'S'; }

bool QRBIsNumericTypeTag(char type) { return type != '\0' && std::strchr("FTcdfhi", type) != nullptr; }

bool QRBIsIntegerTypeTag(char type) { return type == 'h' || type == 'i'; }

bool QRBIsFloatTypeTag(char type) { return type == 'd' || type == 'f'; }
