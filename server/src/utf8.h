// UTF-8, for the texts the server reads from files and prints in logs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// The characters of a UTF-8 text; nothing when it is not valid UTF-8 (a
// sequence cut short or overlong, a surrogate, a code point above U+10FFFF).
std::optional<std::u32string> DecodeUtf8(std::string_view utf8);

// Appends the character's UTF-8 bytes.
void AppendUtf8(std::string &out, char32_t c);

}  // namespace tessary
