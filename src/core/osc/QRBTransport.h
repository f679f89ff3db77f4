#pragma once
// Conversions between liblo's transport protocol identifiers, Bonjour service types, OSC URLs
// and their display names, the parser of addresses that users type, and the tests of OSC type
// tags. Targets, routes, the servers and the manager share them.
//
// Protocol identifiers are liblo's: 0 and 1 both mean UDP, 4 means TCP. The helpers that must
// name a transport refuse any other value with NSGenericException "Unrecognized protocol".

#include <lo/lo.h>

#include <optional>
#include <string>

// The exception text for a protocol other than 0, 1 and 4.
inline constexpr const char* kQRBUnrecognizedProtocol = "Unrecognized protocol";

// Bonjour service types of the two transports.
inline constexpr const char* kQRBOSCUDPServiceType = "_osc._udp";
inline constexpr const char* kQRBOSCTCPServiceType = "_osc._tcp";

// The message of a user-entered address that lacks a host or a usable port.
inline constexpr const char* kQRBOSCAddressNeedsHostAndPort =
    "OSC addresses need both an IP address and a port number.\n"
    "For example, to use IP 10.0.0.1 and port 8000, enter: 10.0.0.1:8000";

// When `a` is above 1: YES when `a` equals `b`. When `a` is UDP (0 or 1): YES when `b` is 1.
bool QRBTransportProtocolMatches(int a, int b);

// 1 for a type that contains "_osc._udp", else 4 for one that contains "_osc._tcp"; any other
// type is logged ("Warning: Unsupported Service Type: %@") and counts as UDP.
int QRBTransportProtocolForServiceType(const std::string& serviceType);

// "_osc._udp" for 0 and 1, "_osc._tcp" for 4.
std::string QRBServiceTypeForTransportProtocol(int protocol);

// "osc.udp://127.0.0.1:<port>" or "osc.tcp://...": where a server's own input is reached.
std::string QRBLocalOSCURLForPort(long port, int protocol);

// The OSC URL of a host and port, without a trailing slash; a host that contains ':' (IPv6) is
// put in brackets. Nothing without a host.
std::optional<std::string> QRBOSCURLForHostAndPort(int protocol, const std::optional<std::string>& host, int port);

// A new liblo address for an OSC URL (UDP or TCP), which the caller frees with
// lo_address_free; null for an empty text or one that names no host and port.
lo_address QRBNewLoAddressFromURL(const std::string& url);

// "UDP" for 0 and 1, "TCP" for 4.
std::string QRBTransportProtocolDisplayName(int protocol);

// Reads an address as a user types it ("10.0.0.1:8000", "osc.tcp://studio.local:57120",
// "[::1]:9000"). Text without "://" is read as UDP. The scheme gives the protocol ("osc.udp" 1,
// "osc.tcp" 4, "osc.unix" 2, a bare "osc" 1, any other 1). Answers NO without an error for empty
// text, and NO with kQRBOSCAddressNeedsHostAndPort when the host is missing or the port is not
// 1 to 65535. Each output may be null; outputs are only written on success (the error on
// failure).
bool QRBParseOSCAddressString(const std::string& text, int* protocol, std::string* host, long* port,
                              std::string* error);

// 's' and 'S'.
bool QRBIsStringTypeTag(char type);
// 'F', 'T', 'c', 'd', 'f', 'h' and 'i'.
bool QRBIsNumericTypeTag(char type);
// 'h' and 'i'.
bool QRBIsIntegerTypeTag(char type);
// 'd' and 'f'.
bool QRBIsFloatTypeTag(char type);
