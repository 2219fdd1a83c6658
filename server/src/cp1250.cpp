#include "cp1250.h"

#include <iconv.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace tessary {
namespace {

struct Table {
    std::array<char32_t, 256> character{};
    std::array<bool, 256> defined{};
    std::array<std::int16_t, 0x10000> byte{};  // -1: not in the code page
};

const Table &CodePage() {
    static const Table table = [] {
        Table t;
        const iconv_t cd = ::iconv_open("UTF-32LE", "CP1250");
        if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert from CP1250");
        for (int b = 0; b < 256; ++b) {
            char in = static_cast<char>(b);
            unsigned char out[8] = {};
            char *inPtr = &in;
            char *outPtr = reinterpret_cast<char *>(out);
            std::size_t inLeft = 1;
            std::size_t outLeft = sizeof out;
            ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
            const bool converted = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
                                   sizeof out - outLeft == 4;
            std::uint32_t c = 0;
            if (converted) c = out[0] | out[1] << 8 | out[2] << 16 | static_cast<std::uint32_t>(out[3]) << 24;
            t.defined[static_cast<std::size_t>(b)] = converted && c < 0x10000;
            // An undefined byte stands for the control character of its number.
            t.character[static_cast<std::size_t>(b)] = t.defined[static_cast<std::size_t>(b)] ? c : char32_t(b);
        }
        ::iconv_close(cd);
        t.byte.fill(-1);
        for (int b = 255; b >= 0; --b) t.byte[t.character[static_cast<std::size_t>(b)]] = static_cast<std::int16_t>(b);
        return t;
    }();
    return table;
}

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool Cp1250Defines(unsigned char byte) { return CodePage().defined[byte]; }

std::string Cp1250ToUtf8(std::string_view bytes) {
    const Table &table = CodePage();
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char b : bytes) AppendUtf8(out, table.character[static_cast<std::uint8_t>(b)]);
    return out;
}

std::optional<std::string> Utf8ToCp1250(std::string_view utf8) {
    const Table &table = CodePage();
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<std::uint8_t>(utf8[i]);
        char32_t c = 0;
        std::size_t extra = 0;
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            extra = 2;
        } else {
            return std::nullopt;  // four-byte characters are never in the code page
        }
        if (i + extra >= utf8.size() && extra > 0) return std::nullopt;  // cut short
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cont = static_cast<std::uint8_t>(utf8[i + k]);
            if ((cont & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (cont & 0x3F);
        }
        i += extra + 1;
        if (c < 0x80 && extra != 0) return std::nullopt;  // overlong form
        const std::int16_t byte = c < 0x10000 ? table.byte[c] : -1;
        if (byte < 0) return std::nullopt;
        out += static_cast<char>(byte);
    }
    return out;
}

}  // namespace tessary
