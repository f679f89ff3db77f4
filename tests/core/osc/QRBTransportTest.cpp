// The transport helpers: protocol identifiers, service types, OSC URLs, the parser of addresses
// users type, liblo addresses from URLs and the type-tag tests.

#include "core/osc/QRBTransport.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

void expectUnrecognizedProtocol(const std::function<void()>& call) {
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.name(), "NSGenericException");
        EXPECT_EQ(e.reason(), "Unrecognized protocol");
    }
}

TEST(QRBTransportTest, ProtocolsMatchAsTargetsAndServicesCompareThem) {
    struct Case {
        int a, b;
        bool matches;
    } cases[] = {
        {0, 1, true}, {1, 1, true},  {1, 4, false}, {0, 0, false},
        {4, 4, true}, {4, 1, false}, {2, 2, true},  {0, 4, false},
    };
    for (const Case& c : cases) EXPECT_EQ(QRBTransportProtocolMatches(c.a, c.b), c.matches) << c.a << " vs " << c.b;
}

TEST(QRBTransportTest, ProtocolsNameTheirServiceTypesURLsAndDisplayNames) {
    struct Case {
        int protocol;
        const char* serviceType;
        const char* displayName;
        const char* loopback;
    } cases[] = {
        {0, "_osc._udp", "UDP", "osc.udp://127.0.0.1:8000"},
        {1, "_osc._udp", "UDP", "osc.udp://127.0.0.1:8000"},
        {4, "_osc._tcp", "TCP", "osc.tcp://127.0.0.1:8000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QRBServiceTypeForTransportProtocol(c.protocol), c.serviceType);
        EXPECT_EQ(QRBTransportProtocolDisplayName(c.protocol), c.displayName);
        EXPECT_EQ(QRBLocalOSCURLForPort(8000, c.protocol), c.loopback);
    }
    for (int refused : {2, 3, -1, 5}) {
        expectUnrecognizedProtocol([&] { QRBServiceTypeForTransportProtocol(refused); });
        expectUnrecognizedProtocol([&] { QRBTransportProtocolDisplayName(refused); });
        expectUnrecognizedProtocol([&] { QRBLocalOSCURLForPort(8000, refused); });
        expectUnrecognizedProtocol([&] { QRBOSCURLForHostAndPort(refused, std::string("h"), 1); });
    }
}

TEST(QRBTransportTest, ServiceTypesGiveTheirProtocolAndUnknownOnesCountAsUDP) {
    foundation::LogCapture log;
    EXPECT_EQ(QRBTransportProtocolForServiceType("_osc._udp."), 1);
    EXPECT_EQ(QRBTransportProtocolForServiceType("_osc._tcp"), 4);
    EXPECT_EQ(QRBTransportProtocolForServiceType("_osc._tcp.local."), 4);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(QRBTransportProtocolForServiceType("_http._tcp."), 1);
    EXPECT_TRUE(log.contains("Warning: Unsupported Service Type: _http._tcp."));
}

TEST(QRBTransportTest, URLsOfHostsHaveNoTrailingSlashAndBracketIPv6) {
    struct Case {
        int protocol;
        const char* host;
        int port;
        const char* url;
    } cases[] = {
        {4, "::1", 9000, "osc.tcp://[::1]:9000"},
        {0, "192.168.1.2", 9000, "osc.udp://192.168.1.2:9000"},
        {1, "studio.local", 57120, "osc.udp://studio.local:57120"},
        {1, "fe80::1%eth0", 8000, "osc.udp://[fe80::1%eth0]:8000"},
    };
    for (const Case& c : cases) EXPECT_EQ(QRBOSCURLForHostAndPort(c.protocol, std::string(c.host), c.port), c.url);
    EXPECT_EQ(QRBOSCURLForHostAndPort(1, std::nullopt, 8000), std::nullopt);
}

TEST(QRBTransportTest, UserEnteredAddressesParseIntoProtocolHostAndPort) {
    struct Case {
        const char* text;
        int protocol;
        const char* host;
        long port;
    } accepted[] = {
        {"10.0.0.1:8000", 1, "10.0.0.1", 8000},
        {"osc.tcp://studio.local:57120", 4, "studio.local", 57120},
        {"osc.udp://10.0.0.2:9000/", 1, "10.0.0.2", 9000},
        {"[::1]:9000", 1, "::1", 9000},
        {"osc.tcp://[fe80::1]:65535", 4, "fe80::1", 65535},
        {"osc://host:1", 1, "host", 1},
        {"osc.unix://host:7", 2, "host", 7},
        {"osc.foo://host:12", 1, "host", 12},  // an unknown scheme counts as UDP
        {"host:12ab", 1, "host", 12},          // the port is the digits that follow the colon
    };
    for (const Case& c : accepted) {
        int protocol = -9;
        std::string host;
        long port = -9;
        std::string error = "untouched";
        ASSERT_TRUE(QRBParseOSCAddressString(c.text, &protocol, &host, &port, &error)) << c.text;
        EXPECT_EQ(protocol, c.protocol) << c.text;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
        EXPECT_EQ(error, "untouched");
    }

    const char* refused[] = {
        "10.0.0.1",        "10.0.0.1:0", "10.0.0.1:70000",  "10.0.0.1:99999999999999999999",
        ":8000",           "osc.udp://", "osc.udp://:8000", "::1:9000",
        "[::1:9000",       "[]:9000",    "http://host:80",  "host:-5",
        "osc.udp://[::1]",
    };
    for (const char* text : refused) {
        int protocol = -9;
        std::string host = "untouched";
        long port = -9;
        std::string error;
        EXPECT_FALSE(QRBParseOSCAddressString(text, &protocol, &host, &port, &error)) << text;
        EXPECT_EQ(error, kQRBOSCAddressNeedsHostAndPort) << text;
        EXPECT_EQ(host, "untouched");
        EXPECT_EQ(port, -9);
    }

    std::string error = "untouched";
    EXPECT_FALSE(QRBParseOSCAddressString("", nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(error, "untouched");
    // Every output may be left out.
    EXPECT_TRUE(QRBParseOSCAddressString("10.0.0.1:8000", nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(QRBParseOSCAddressString("10.0.0.1", nullptr, nullptr, nullptr, nullptr));
}

TEST(QRBTransportTest, LibloAddressesComeFromUDPAndTCPURLsOnly) {
    struct Case {
        const char* url;
        int protocol;  // 0: no address
        const char* host;
        const char* port;
    } cases[] = {
        {"osc.udp://127.0.0.1:9000", LO_UDP, "127.0.0.1", "9000"},
        {"osc.tcp://[::1]:9001", LO_TCP, "::1", "9001"},
        {"osc://localhost:9002", LO_UDP, "localhost", "9002"},
        {"", 0, nullptr, nullptr},
        {"osc.udp://", 0, nullptr, nullptr},
        {"osc.udp://127.0.0.1", 0, nullptr, nullptr},
        {"osc.unix://host:1", 0, nullptr, nullptr},
        {"garbage", 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        lo_address address = QRBNewLoAddressFromURL(c.url);
        if (!c.protocol) {
            EXPECT_EQ(address, nullptr) << c.url;
            if (address) lo_address_free(address);
            continue;
        }
        ASSERT_NE(address, nullptr) << c.url;
        EXPECT_EQ(lo_address_get_protocol(address), c.protocol);
        EXPECT_STREQ(lo_address_get_hostname(address), c.host);
        EXPECT_STREQ(lo_address_get_port(address), c.port);
        lo_address_free(address);
    }
}

TEST(QRBTransportTest, TypeTagsFallIntoTheirGroups) {
    struct Case {
        char type;
        bool string, numeric, integer, floating;
    } cases[] = {
        {'s', true, false, false, false},  {'S', true, false, false, false},  {'i', false, true, true, false},
        {'h', false, true, true, false},   {'f', false, true, false, true},   {'d', false, true, false, true},
        {'c', false, true, false, false},  {'T', false, true, false, false},  {'F', false, true, false, false},
        {'b', false, false, false, false}, {'m', false, false, false, false}, {'t', false, false, false, false},
        {'N', false, false, false, false}, {'I', false, false, false, false}, {'\0', false, false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QRBIsStringTypeTag(c.type), c.string) << c.type;
        EXPECT_EQ(QRBIsNumericTypeTag(c.type), c.numeric) << c.type;
        EXPECT_EQ(QRBIsIntegerTypeTag(c.type), c.integer) << c.type;
        EXPECT_EQ(QRBIsFloatTypeTag(c.type), c.floating) << c.type;
    }
}

}  // namespace
