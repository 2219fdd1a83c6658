// The PROXY protocol header without sockets: good and bad headers from a
// table, and every header parsed as it arrives, a byte at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "proxy_header.h"

namespace tessary {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Status = ProxyHeaderParse::Status;

const Bytes kSignature{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

// A version 2 header: signature, the version/command and family bytes, the
// length of rest, then rest.
Bytes Header(std::uint8_t versionCommand, std::uint8_t family, const Bytes &rest) {
    Bytes bytes = kSignature;
    bytes.push_back(versionCommand);
    bytes.push_back(family);
    bytes.push_back(static_cast<std::uint8_t>(rest.size() >> 8));
    bytes.push_back(static_cast<std::uint8_t>(rest.size() & 0xFF));
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
}

Bytes Concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// 192.0.2.10:51000 -> 198.51.100.1:105
const Bytes kIPv4{192, 0, 2, 10, 198, 51, 100, 1, 0xC7, 0x38, 0x00, 0x69};
// [2001:db8::7]:40000 -> [2001:db8::1]:105
const Bytes kIPv6{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07,
                  0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01,
                  0x9C, 0x40, 0x00, 0x69};
// Two extensions as HAProxy may send them: a unique id (0x05) and padding
// (0x04, "NOOP").
const Bytes kExtensions{0x05, 0x00, 0x03, 'a', 'b', 'c', 0x04, 0x00, 0x02, 0x00, 0x00};

TEST(ProxyHeader, GoodHeadersNameTheClient) {
    struct Case {
        const char *what;
        Bytes bytes;
        ProxyHeader::Command command;
        const char *source;  // "" for LOCAL
        std::uint16_t sourcePort;
        const char *destination;
        std::uint16_t destinationPort;
    };
    const std::vector<Case> cases = {
        {"TCP over IPv4", Header(0x21, 0x11, kIPv4), ProxyHeader::Command::Proxy, "192.0.2.10", 51000,
         "198.51.100.1", 105},
        {"TCP over IPv6", Header(0x21, 0x21, kIPv6), ProxyHeader::Command::Proxy, "2001:db8::7", 40000,
         "2001:db8::1", 105},
        {"IPv4 with extensions", Header(0x21, 0x11, Concat(kIPv4, kExtensions)), ProxyHeader::Command::Proxy,
         "192.0.2.10", 51000, "198.51.100.1", 105},
        {"IPv6 with extensions", Header(0x21, 0x21, Concat(kIPv6, kExtensions)), ProxyHeader::Command::Proxy,
         "2001:db8::7", 40000, "2001:db8::1", 105},
        // HAProxy's health checks with check-send-proxy.
        {"LOCAL, no addresses", Header(0x20, 0x00, {}), ProxyHeader::Command::Local, "", 0, "", 0},
        {"LOCAL with IPv4 addresses, ignored", Header(0x20, 0x11, kIPv4), ProxyHeader::Command::Local, "", 0, "",
         0},
        {"LOCAL of a Unix socket", Header(0x20, 0x31, Bytes(216, 0)), ProxyHeader::Command::Local, "", 0, "", 0},
        {"IPv4-mapped IPv6 client",
         Header(0x21, 0x21, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 2,
                                  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1, 0x30, 0x39, 0x00, 0x69}),
         ProxyHeader::Command::Proxy, "::ffff:127.0.0.2", 12345, "::ffff:127.0.0.1", 105},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The client's first packet follows at once: the parse stops where
        // the header ends.
        const Bytes stream = Concat(c.bytes, Bytes{'P', 'I', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0});
        const ProxyHeaderParse parse = ParseProxyHeader(stream);
        ASSERT_EQ(parse.status, Status::Ok) << parse.error;
        EXPECT_EQ(parse.size, c.bytes.size());
        EXPECT_EQ(parse.header.command, c.command);
        if (c.command == ProxyHeader::Command::Proxy) {
            EXPECT_EQ(parse.header.source.address().to_string(), c.source);
            EXPECT_EQ(parse.header.source.port(), c.sourcePort);
            EXPECT_EQ(parse.header.destination.address().to_string(), c.destination);
            EXPECT_EQ(parse.header.destination.port(), c.destinationPort);
        }
    }
}

TEST(ProxyHeader, BadHeadersAreRefusedWithTheirReason) {
    struct Case {
        Bytes bytes;
        const char *reason;  // a part of the error
    };
    Bytes wrongSignature = Header(0x21, 0x11, kIPv4);
    wrongSignature[6] = 0x0B;
    const std::vector<Case> cases = {
        {Bytes{'P', 'R', 'O', 'X', 'Y', ' ', 'T', 'C', 'P', '4', ' ', '1', '9', '2', '.', '0', '.'},
         "version 1 (text)"},
        {Bytes{'P', 'R', 'O', 'X', 'Y', ' '}, "version 1 (text)"},
        {Bytes{'P', 'I', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0}, "does not begin with the header's signature"},
        {Bytes{0x0D, 0x0A, 0x0D, 0x0A, 0x01}, "does not begin with the header's signature"},
        {wrongSignature, "does not begin with the header's signature"},
        {Header(0x11, 0x11, kIPv4), "version 1, of which only 2"},
        {Header(0x31, 0x11, kIPv4), "version 3, of which only 2"},
        {Header(0x22, 0x11, kIPv4), "command 2 is neither"},
        {Header(0x2F, 0x11, kIPv4), "command 15 is neither"},
        {Header(0x21, 0x11, Bytes(kIPv4.begin(), kIPv4.end() - 1)), "IPv4 addresses in 11 bytes"},
        {Header(0x21, 0x11, {}), "IPv4 addresses in 0 bytes"},
        {Header(0x21, 0x21, kIPv4), "IPv6 addresses in 12 bytes"},
        {Header(0x21, 0x12, kIPv4), "over IPv4 and datagrams"},
        {Header(0x21, 0x22, kIPv6), "over IPv6 and datagrams"},
        {Header(0x21, 0x31, Bytes(216, 0)), "over a Unix socket and TCP"},
        {Header(0x21, 0x00, {}), "over an unspecified family and an unspecified transport"},
        {Header(0x21, 0x10, kIPv4), "over IPv4 and an unspecified transport"},
        {Header(0x21, 0x41, kIPv4), "0x41 are not defined"},
        {Header(0x21, 0x13, kIPv4), "0x13 are not defined"},
    };
    for (const Case &c : cases) {
        const ProxyHeaderParse parse = ParseProxyHeader(c.bytes);
        EXPECT_EQ(parse.status, Status::Bad) << c.reason;
        EXPECT_NE(parse.error.find(c.reason), std::string::npos) << "\"" << parse.error << "\" lacks \"" << c.reason
                                                                 << "\"";
    }
}

// A reader gives the bytes as they arrive: each prefix of a good header
// asks for more, and never for more than the header holds; a stream that
// is no header is refused at the first byte that tells it apart.
TEST(ProxyHeader, PrefixesAskForExactlyTheRest) {
    const std::vector<Bytes> headers = {Header(0x21, 0x11, kIPv4), Header(0x21, 0x21, Concat(kIPv6, kExtensions)),
                                        Header(0x20, 0x00, {}), Header(0x21, 0x11, Concat(kIPv4, Bytes(3000, 7)))};
    for (const Bytes &header : headers) {
        for (std::size_t n = 0; n < header.size(); ++n) {
            const ProxyHeaderParse parse = ParseProxyHeader(std::span(header).first(n));
            ASSERT_EQ(parse.status, Status::NeedMore) << "at " << n << " of " << header.size();
            ASSERT_GT(parse.size, n);
            ASSERT_LE(parse.size, header.size());
        }
        EXPECT_EQ(ParseProxyHeader(header).status, Status::Ok);
    }
    const Bytes ping{'P', 'I', 'N', 'G'};
    EXPECT_EQ(ParseProxyHeader(std::span(ping).first(1)).status, Status::NeedMore);  // "PROXY " could follow
    EXPECT_EQ(ParseProxyHeader(std::span(ping).first(2)).status, Status::Bad);
    const Bytes late = Concat(Bytes(kSignature.begin(), kSignature.begin() + 11), Bytes{0x0B});
    EXPECT_EQ(ParseProxyHeader(std::span(late).first(11)).status, Status::NeedMore);
    EXPECT_EQ(ParseProxyHeader(late).status, Status::Bad);
}

}  // namespace
}  // namespace tessary
