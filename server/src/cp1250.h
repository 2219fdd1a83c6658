// Text on the wire is Windows-1250, one byte per character, as the client
// sends and shows it. Inside the server words are kept in those bytes; logs
// and the vocabulary file use UTF-8.
//
// The table comes from the C library's iconv ("CP1250"). The five bytes that
// the code page leaves undefined (81, 83, 88, 90, 98) stand for the control
// characters of the same number, U+0081 and so on, as in the program: every
// byte decodes to one character and encodes back to itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// Every byte becomes its character in UTF-8.
std::string Cp1250ToUtf8(std::string_view bytes);

// The reverse; nothing when the text is not valid UTF-8 or holds a character
// that Windows-1250 cannot represent.
std::optional<std::string> Utf8ToCp1250(std::string_view utf8);

// Whether the code page gives the byte a character of its own (false for the
// five undefined bytes).
bool Cp1250Defines(unsigned char byte);

}  // namespace tessary
