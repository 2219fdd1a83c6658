#include "proxy_header.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace tessary {

namespace {

constexpr std::array<std::uint8_t, 12> kSignature{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                   0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::string_view kVersion1Start = "PROXY ";

constexpr std::size_t kIPv4Addresses = 4 + 4 + 2 + 2;
constexpr std::size_t kIPv6Addresses = 16 + 16 + 2 + 2;

ProxyHeaderParse Bad(std::string error) {
    ProxyHeaderParse parse;
    parse.status = ProxyHeaderParse::Status::Bad;
    parse.error = std::move(error);
    return parse;
}

std::string Hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::uint16_t Port(const std::uint8_t *bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

// Source address, destination address, source port, destination port, from
// the length bytes at rest; false when they do not fit.
template <typename Address>
bool ReadAddresses(const std::uint8_t *rest, std::size_t length, ProxyHeader &header) {
    typename Address::bytes_type source, destination;
    const std::size_t size = source.size();
    if (length < 2 * size + 4) return false;
    std::copy_n(rest, size, source.begin());
    std::copy_n(rest + size, size, destination.begin());
    header.source = {Address(source), Port(rest + 2 * size)};
    header.destination = {Address(destination), Port(rest + 2 * size + 2)};
    return true;
}

std::string AddressesTooShort(const char *family, std::size_t length, std::size_t needed) {
    return std::string(family) + " addresses in " + std::to_string(length) + " bytes (they take " +
           std::to_string(needed) + ")";
}

}  // namespace

ProxyHeaderParse ParseProxyHeader(std::span<const std::uint8_t> bytes) {
    // Signature, as far as it has come: a stream that differs from it at
    // any byte is no version 2 header, whatever else follows.
    const std::size_t seen = std::min(bytes.size(), kSignature.size());
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(seen), kSignature.begin())) {
        // Version 1 is told apart by its first word, to be named in the error.
        const std::size_t text = std::min(bytes.size(), kVersion1Start.size());
        if (std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(text), kVersion1Start.begin())) {
            if (text == kVersion1Start.size())
                return Bad("a version 1 (text) header, of which only version 2 is accepted (HAProxy: send-proxy-v2)");
            ProxyHeaderParse parse;
            parse.size = kVersion1Start.size();
            return parse;
        }
        return Bad("the connection does not begin with the header's signature");
    }
    ProxyHeaderParse parse;
    if (bytes.size() < kProxyHeaderFixedSize) return parse;

    // Version and command.
    const std::uint8_t versionCommand = bytes[12];
    if (versionCommand >> 4 != 2)
        return Bad("version " + std::to_string(versionCommand >> 4) + ", of which only 2 is accepted");
    const unsigned command = versionCommand & 0x0F;
    if (command > 1) return Bad("command " + std::to_string(command) + " is neither LOCAL (0) nor PROXY (1)");

    // Length of the rest.
    const std::size_t length = Port(&bytes[14]);
    parse.size = kProxyHeaderFixedSize + length;
    if (bytes.size() < parse.size) return parse;
    const std::uint8_t *rest = bytes.data() + kProxyHeaderFixedSize;

    if (command == 0) {
        // The proxy's own connection: its addresses, if any, mean nothing.
        parse.header.command = ProxyHeader::Command::Local;
        parse.status = ProxyHeaderParse::Status::Ok;
        return parse;
    }

    // Addresses of a relayed TCP connection.
    parse.header.command = ProxyHeader::Command::Proxy;
    const std::uint8_t familyTransport = bytes[13];
    switch (familyTransport) {
        case 0x11:
            if (!ReadAddresses<asio::ip::address_v4>(rest, length, parse.header))
                return Bad(AddressesTooShort("IPv4", length, kIPv4Addresses));
            break;
        case 0x21:
            if (!ReadAddresses<asio::ip::address_v6>(rest, length, parse.header))
                return Bad(AddressesTooShort("IPv6", length, kIPv6Addresses));
            break;
        default: {
            const unsigned family = familyTransport >> 4, transport = familyTransport & 0x0F;
            if (family > 3 || transport > 2)
                return Bad("address family and transport " + Hex(familyTransport) + " are not defined");
            static constexpr const char *kFamilies[] = {"an unspecified family", "IPv4", "IPv6", "a Unix socket"};
            static constexpr const char *kTransports[] = {"an unspecified transport", "TCP", "datagrams"};
            return Bad(std::string("a relayed connection over ") + kFamilies[family] + " and " +
                       kTransports[transport] + ", of which only TCP over IPv4 or IPv6 is accepted");
        }
    }
    parse.status = ProxyHeaderParse::Status::Ok;
    return parse;
}

}  // namespace tessary
