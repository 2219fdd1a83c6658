#include "packet/code_page.h"

#include "packet/utf8.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tessary {
namespace {

// Bytes 80 to FF; 00 to 7F are ASCII. The undefined bytes hold their own
// number.
constexpr std::array<char16_t, 128> kUpperHalf = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

constexpr bool Undefined(std::uint8_t byte) {
    return byte == 0x81 || byte == 0x83 || byte == 0x88 || byte == 0x90 || byte == 0x98;
}

// The upper half sorted by character, for encoding.
constexpr auto kByCharacter = [] {
    std::array<std::pair<char16_t, std::uint8_t>, 128> sorted{};
    for (std::size_t i = 0; i < sorted.size(); ++i) sorted[i] = {kUpperHalf[i], static_cast<std::uint8_t>(0x80 + i)};
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}();

static_assert(std::adjacent_find(kByCharacter.begin(), kByCharacter.end(),
                                 [](const auto &a, const auto &b) { return a.first == b.first; }) ==
                  kByCharacter.end(),
              "two bytes for one character");
static_assert(kByCharacter.front().first >= 0x80, "an upper byte for an ASCII character");

// The byte of a character, or -1.
int ByteOf(char32_t c) {
    if (c < 0x80) return static_cast<int>(c);
    if (c > 0xFFFF) return -1;
    const auto at = std::lower_bound(kByCharacter.begin(), kByCharacter.end(), static_cast<char16_t>(c),
                                     [](const auto &entry, char16_t value) { return entry.first < value; });
    return at != kByCharacter.end() && at->first == c ? at->second : -1;
}

}  // namespace

char16_t Cp1250Character(std::uint8_t byte) { return byte < 0x80 ? char16_t{byte} : kUpperHalf[byte - 0x80u]; }

bool Cp1250Defines(unsigned char byte) { return !Undefined(byte); }

std::string Cp1250ToUtf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) AppendUtf8(out, Cp1250Character(b));
    return out;
}

std::string Cp1250ToUtf8(std::string_view bytes) {
    return Cp1250ToUtf8(std::span(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()));
}

std::optional<std::string> Utf8ToCp1250(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        const std::optional<char32_t> c = NextUtf8(utf8, &at);
        const int byte = c ? ByteOf(*c) : -1;
        if (byte < 0) return std::nullopt;
        out += static_cast<char>(byte);
    }
    return out;
}

std::string Utf8ToCp1250Substituting(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        const std::optional<char32_t> c = NextUtf8(utf8, &at);
        const int byte = c ? ByteOf(*c) : -1;
        out += byte < 0 ? kCp1250Substitute : static_cast<char>(byte);
    }
    return out;
}

std::string Cp1250Unrepresentable(std::string_view utf8) {
    std::string missing;
    for (std::size_t at = 0; at < utf8.size();) {
        const std::optional<char32_t> c = NextUtf8(utf8, &at);
        if (!c) {
            AppendUtf8(missing, 0xFFFD);
        } else if (ByteOf(*c) < 0) {
            AppendUtf8(missing, *c);
        }
    }
    return missing;
}

}  // namespace tessary
