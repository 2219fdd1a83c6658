#include "packet/utf8.h"

#include <cstdint>

namespace tessary {

std::optional<char32_t> NextUtf8(std::string_view utf8, std::size_t *at) {
    const std::size_t i = *at;
    const auto lead = static_cast<std::uint8_t>(utf8[i]);
    ++*at;  // past a byte that starts no character
    char32_t c = 0;
    std::size_t extra = 0;
    char32_t smallest = 0;  // below it the form is overlong
    if (lead < 0x80) {
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        c = lead & 0x1F;
        extra = 1;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        c = lead & 0x0F;
        extra = 2;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        c = lead & 0x07;
        extra = 3;
        smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (utf8.size() - i <= extra) return std::nullopt;  // cut short
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto cont = static_cast<std::uint8_t>(utf8[i + k]);
        if ((cont & 0xC0) != 0x80) return std::nullopt;
        c = (c << 6) | (cont & 0x3F);
    }
    if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    *at = i + extra + 1;
    return c;
}

std::optional<std::u32string> DecodeUtf8(std::string_view utf8) {
    std::u32string text;
    text.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        const std::optional<char32_t> c = NextUtf8(utf8, &at);
        if (!c) return std::nullopt;
        text += *c;
    }
    return text;
}

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace tessary
