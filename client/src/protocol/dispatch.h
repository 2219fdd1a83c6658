// The dispatch decision for one complete packet received from the server,
// and the numbers that the window reads from text (the port box, the echoed
// tick count of a "PONG").
#pragma once

#include "packet/packet.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace tessary {

enum class DispatchAction {
    Ignore,         // any other type, or "DMSG" numbered 1
    Log,            // "UMSG", "DMSG": the text on top of the log
    LogAndAnswer,   // "NEWS": the text on top, then "OSVF" "demo" numbered 1
    Echo,           // "PING": "PONG" with the same payload, numbered 0
    LogRoundTrip,   // "PONG": the round-trip line on top
};

struct DispatchDecision {
    DispatchAction action = DispatchAction::Ignore;
    std::span<const std::uint8_t> payload;  // inside the packet given
};

// packet: one whole packet, head and exactly its payload (the caller has
// checked the length); its head is read with codec.
DispatchDecision DecidePacket(const packet::HeadCodec &codec, std::span<const std::uint8_t> packet);

// The number at the start of a text, read the way the window reads its boxes:
// blanks, tabs and line feeds anywhere are ignored; an optional sign, digits,
// an optional fraction and an optional exponent (E or D); reading stops at
// the first character that cannot continue the number. A text that does not
// start with a number gives 0.
double LeadingNumber(std::string_view text);

// The port number in the text of the port box: LeadingNumber rounded to the
// nearest integer, halves to even ("80.5" gives 80, "81.5" gives 82). Not
// checked against the range of ports; a value too large to be one comes out
// as at least 2^53 in size, a text that is no number as 0.
std::int64_t PortNumber(std::string_view text);

// Milliseconds from the echoed tick count to now, as the 32-bit difference
// with wrap-around: right also when the counter passed its highest value
// between ping and pong.
std::int32_t RoundTripMs(std::int32_t now, double echoed);

}  // namespace tessary
