// Framing of outgoing text messages: a 12-byte head and the payload bytes, in
// one buffer that goes to the connection in one send.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tessary {

// The type as the head carries it: the first four characters, or the text
// padded on the right with spaces.
std::array<char, 4> FitType(std::string_view type);

// One whole packet: head (type fitted, number, length = payload size) and the
// payload. Throws std::length_error when the payload does not fit a 32-bit
// length.
std::vector<std::uint8_t> FramePacket(std::string_view type, std::int32_t number,
                                      std::span<const std::uint8_t> payload);

}  // namespace tessary
