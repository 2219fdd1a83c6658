#include "cp1250.h"

#include <iconv.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "utf8.h"

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
    const std::optional<std::u32string> text = DecodeUtf8(utf8);
    if (!text) return std::nullopt;
    std::string out;
    for (const char32_t c : *text) {
        const std::int16_t byte = c < 0x10000 ? table.byte[c] : -1;
        if (byte < 0) return std::nullopt;
        out += static_cast<char>(byte);
    }
    return out;
}

}  // namespace tessary
