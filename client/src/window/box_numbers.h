// The numbers that the window reads from text: the port box, and the echoed
// tick count of a "PONG" for the round-trip line.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessary {

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
