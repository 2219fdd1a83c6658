// Text on the wire: one byte per character in Windows-1250.
//
// The byte-to-character table is taken once from Qt's converter for
// "windows-1250" (ICU). The five bytes that the code page leaves undefined
// (81, 83, 88, 90, 98) stand for the control characters of the same number,
// U+0081 and so on, so every byte decodes to one character and encodes back
// to itself: a "PONG" carries exactly the bytes of its "PING". A character
// that the code page cannot represent (a surrogate pair counts as one
// character) becomes the one byte '?'.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <span>

namespace tessary {

class CodePage1250 {
public:
    static const CodePage1250 &Instance();

    QString Decode(std::span<const std::uint8_t> bytes) const;
    QByteArray Encode(QStringView text) const;

    static constexpr char kSubstitute = '?';

private:
    CodePage1250();

    std::array<char16_t, 256> toUnicode_{};
    std::array<std::int16_t, 65536> toByte_{};  // -1: not in the code page
};

}  // namespace tessary
