// The header a TCP proxy (HAProxy's send-proxy-v2) puts before a client's
// stream: the PROXY protocol, version 2, binary. It names the client's
// address and port, which the server's socket cannot see through the proxy.
//
// Layout, every number big-endian:
//   bytes 0..11   signature  0D 0A 0D 0A 00 0D 0A 51 55 49 54 0A
//   byte  12      version (high 4 bits, must be 2) and command (low 4
//                 bits: 0 LOCAL, the proxy's own connection such as a
//                 health check; 1 PROXY, a client's connection relayed)
//   byte  13      address family (high 4 bits: 0 unspecified, 1 IPv4,
//                 2 IPv6, 3 Unix) and transport (low 4 bits: 0
//                 unspecified, 1 stream, 2 datagram)
//   bytes 14..15  length of what follows: the addresses, then TLVs
//   IPv4 stream:  source address (4), destination address (4), source
//                 port (2), destination port (2): at least 12 bytes
//   IPv6 stream:  the same with 16-byte addresses: at least 36 bytes
// Whatever follows the addresses (type-length-value extensions) is skipped.
// A LOCAL header's addresses, if any, are ignored: the connection is the
// proxy's own. A PROXY header must name TCP over IPv4 or IPv6; anything
// else (Unix sockets, datagrams, an unspecified family) is refused, since
// the limits need an address to count. Version 1, the text form
// ("PROXY TCP4 ..."), is recognised only to be refused by name.
//
// The parser takes the bytes received so far and says how many it needs,
// so that a reader takes exactly the header off the stream and not one byte
// of the client's first packet. It keeps no state and may be called from
// any thread.
#pragma once

#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tessary {

// The fixed part before the length's bytes: signature, version and
// command, family, length.
inline constexpr std::size_t kProxyHeaderFixedSize = 16;

struct ProxyHeader {
    enum class Command { Local, Proxy };
    Command command = Command::Local;
    // Of a PROXY header: the client, and the address it connected to at
    // the proxy. Unset for LOCAL.
    asio::ip::tcp::endpoint source;
    asio::ip::tcp::endpoint destination;
};

struct ProxyHeaderParse {
    enum class Status {
        NeedMore,  // size: the bytes the header takes at least, more than given
        Ok,        // size: the bytes the header took; header is filled in
        Bad,       // error says why, in a few words for the log
    };
    Status status = Status::NeedMore;
    std::size_t size = kProxyHeaderFixedSize;
    ProxyHeader header;
    std::string error;
};

// Parses the header at the start of bytes. Bytes past the header are not
// looked at. A stream that cannot begin a version 2 header is Bad as soon
// as enough of it is there to tell.
ProxyHeaderParse ParseProxyHeader(std::span<const std::uint8_t> bytes);

}  // namespace tessary
