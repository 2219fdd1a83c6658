// UTF-8, the text of the programs: of files, logs, the terminal, and of the
// code page's other side.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// The character that starts at utf8[*at], and *at moved past it; nothing,
// and *at moved one byte on, when no valid UTF-8 character starts there (a
// sequence cut short or overlong, a surrogate, a code point above U+10FFFF).
std::optional<char32_t> NextUtf8(std::string_view utf8, std::size_t *at);

// The characters of a UTF-8 text; nothing when it is not valid UTF-8.
std::optional<std::u32string> DecodeUtf8(std::string_view utf8);

// Appends the character's UTF-8 bytes.
void AppendUtf8(std::string &out, char32_t c);

}  // namespace tessary
