// Packets on the connection between the program and a recognition server:
// a 12-byte head (four type letters, a signed 32-bit number and a signed
// 32-bit payload length, both little-endian) followed by `length` bytes.
//
// This module frames and checks packets; it does not own the byte layout of
// the head. The head is written and read by a codec given by the caller:
// libvantrel's exported SetPacketHead/GetPacketHead (the program binds them
// by name), or the same functions linked in (the server, the tests). Every
// function may be called from any thread; none keeps state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "vantrel.h"  // VANTREL_PACKET_HEAD_SIZE: the bytes in a head

namespace tessary::packet {

// Largest payload a head may announce: 16 MiB. A longer or negative length
// is a broken stream, never clamped.
inline constexpr std::int32_t kMaxPayload = 16 * 1024 * 1024;

// The head codec, with the signatures of libvantrel's exports. `set` writes
// packet[0..11] from 4 type characters, a number and a length; `get` reads
// them back. Neither validates anything.
struct HeadCodec {
    std::int32_t (*set)(std::uint8_t *packet, const char *type, const std::int32_t *number,
                        const std::int32_t *length) = nullptr;
    std::int32_t (*get)(const std::uint8_t *packet, char *type, std::int32_t *number,
                        std::int32_t *length) = nullptr;
};

struct Head {
    std::array<char, 4> type{};
    std::int32_t number = 0;
    std::int32_t length = 0;

    std::string_view Type() const { return {type.data(), type.size()}; }
};

// The type as the head carries it: the first four characters, or the text
// padded on the right with spaces.
std::array<char, 4> FitType(std::string_view type);

// A head that announces length, whatever follows it (nothing is checked).
std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> EncodeHead(const HeadCodec &codec, std::string_view type,
                                               std::int32_t number, std::int32_t length);

// One whole packet: the head (type fitted, number, length = payload size),
// then the payload. Throws std::length_error when the payload does not fit
// a 32-bit length.
std::vector<std::uint8_t> Encode(const HeadCodec &codec, std::string_view type, std::int32_t number,
                                 std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> Encode(const HeadCodec &codec, std::string_view type, std::int32_t number,
                                 std::string_view payload);
// A text message: the UTF-8 text in Windows-1250 (a character the code page
// lacks becomes '?'), CR LF appended when asked.
std::vector<std::uint8_t> EncodeText(const HeadCodec &codec, std::string_view type, std::int32_t number,
                                     std::string_view utf8, bool crlf = false);

enum class HeadStatus {
    Ok,
    Incomplete,  // fewer than VANTREL_PACKET_HEAD_SIZE bytes given
    BadLength,   // the length is negative or above kMaxPayload
};

struct DecodedHead {
    HeadStatus status = HeadStatus::Incomplete;
    Head head;  // as read, also for BadLength (to name the offending length)

    bool Ok() const { return status == HeadStatus::Ok; }
};

// Reads the head at the start of bytes and checks its length.
DecodedHead DecodeHead(const HeadCodec &codec, std::span<const std::uint8_t> bytes);

// Whether a length announced by a head is acceptable: 0 to kMaxPayload.
constexpr bool LengthAllowed(std::int32_t length) { return length >= 0 && length <= kMaxPayload; }

}  // namespace tessary::packet
