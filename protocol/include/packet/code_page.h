// Text on the wire: one byte per character in Windows-1250, the code page of
// the client's Czech texts. Programs keep text in UTF-8 and convert here, at
// the wire: the server for its words and logs, tessary-cli for everything it
// sends and shows, the window at its edge with QString::fromUtf8/toUtf8.
//
// The table is fixed (the code page as published, 256 entries). The five
// bytes it leaves undefined (81, 83, 88, 90, 98) stand for the control
// characters of the same number, U+0081 and so on, so every byte decodes to
// one character and encodes back to itself: a "PONG" carries exactly the
// bytes of its "PING". Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessary {

// The byte that stands for a character the code page cannot represent.
inline constexpr char kCp1250Substitute = '?';

// The character of a byte (a character of the basic plane, never a surrogate).
char16_t Cp1250Character(std::uint8_t byte);

// Whether the code page gives the byte a character of its own (false for the
// five undefined bytes).
bool Cp1250Defines(unsigned char byte);

// Every byte becomes its character in UTF-8.
std::string Cp1250ToUtf8(std::span<const std::uint8_t> bytes);
std::string Cp1250ToUtf8(std::string_view bytes);

// The reverse; nothing when the text is not valid UTF-8 or holds a character
// that Windows-1250 cannot represent.
std::optional<std::string> Utf8ToCp1250(std::string_view utf8);

// The reverse for text that must go out all the same: every character the
// code page cannot represent, and every byte that is not valid UTF-8,
// becomes kCp1250Substitute.
std::string Utf8ToCp1250Substituting(std::string_view utf8);

// The characters of a UTF-8 text that Windows-1250 cannot carry, in order,
// in UTF-8 (a byte that is not valid UTF-8 as U+FFFD); empty when it carries
// them all.
std::string Cp1250Unrepresentable(std::string_view utf8);

}  // namespace tessary
