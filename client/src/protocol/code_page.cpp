#include "protocol/code_page.h"

#include <QStringDecoder>

#include <stdexcept>

namespace tessary {

const CodePage1250 &CodePage1250::Instance() {
    static const CodePage1250 instance;
    return instance;
}

CodePage1250::CodePage1250() {
    QStringDecoder decoder("windows-1250");
    if (!decoder.isValid()) {
        throw std::runtime_error("Qt has no converter for windows-1250 (Qt built without ICU?)");
    }
    toByte_.fill(-1);
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        decoder.resetState();
        const QString one = decoder.decode(QByteArrayView(&byte, 1));
        char16_t c = static_cast<char16_t>(b);  // undefined bytes: the control character of that number
        if (one.size() == 1 && one[0] != QChar::ReplacementCharacter && !one[0].isSurrogate()) {
            c = one[0].unicode();
        }
        if (toByte_[c] != -1) c = static_cast<char16_t>(b);  // never two bytes for one character
        toUnicode_[static_cast<std::size_t>(b)] = c;
        toByte_[c] = static_cast<std::int16_t>(b);
    }
}

QString CodePage1250::Decode(std::span<const std::uint8_t> bytes) const {
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar *out = text.data();
    for (std::uint8_t b : bytes) *out++ = QChar(toUnicode_[b]);
    return text;
}

QByteArray CodePage1250::Encode(QStringView text) const {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;  // one character outside the code page
            bytes.push_back(kSubstitute);
            continue;
        }
        const std::int16_t b = toByte_[c.unicode()];
        bytes.push_back(b < 0 ? kSubstitute : static_cast<char>(b));
    }
    return bytes;
}

}  // namespace tessary
