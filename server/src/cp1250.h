// Text on the wire is Windows-1250, one byte per character, as the client
// sends and shows it. Inside the server words are kept in those bytes; logs
// and the vocabulary file use UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// Every byte becomes its character in UTF-8. The five bytes that Windows-1250
// leaves undefined (81 83 88 90 98) become U+FFFD.
std::string Cp1250ToUtf8(std::string_view bytes);

// The reverse; nothing when the text is not valid UTF-8 or holds a character
// that Windows-1250 cannot represent.
std::optional<std::string> Utf8ToCp1250(std::string_view utf8);

}  // namespace tessary
