#include "wire.h"

#include <QString>

#include <cstdio>

#include "protocol/code_page.h"
#include "protocol/dispatch.h"
#include "protocol/receive_reassembly.h"
#include "vantrel.h"

namespace tessary::cli {

const packet::HeadCodec &Codec() {
    static const packet::HeadCodec codec{&SetPacketHead, &GetPacketHead};
    return codec;
}

Head ReadHead(const std::uint8_t *packet) {
    Head head;
    Codec().get(packet, head.type.data(), &head.number, &head.length);
    return head;
}

void Renumber(std::uint8_t *packet, std::int32_t number) {
    Head head = ReadHead(packet);
    Codec().set(packet, head.type.data(), &number, &head.length);
}

std::vector<std::uint8_t> Frame(std::string_view type, std::int32_t number,
                                std::span<const std::uint8_t> payload) {
    return packet::Encode(Codec(), type, number, payload);
}

std::vector<std::uint8_t> FrameText(std::string_view type, std::int32_t number, std::string_view utf8,
                                    bool crlf) {
    std::string bytes = EncodeText(utf8);
    if (crlf) bytes += "\r\n";
    return Frame(type, number,
                 std::span(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()));
}

std::string DecodeText(std::span<const std::uint8_t> bytes) {
    return CodePage1250::Instance().Decode(bytes).toStdString();
}

std::string EncodeText(std::string_view utf8) {
    const QByteArray bytes = CodePage1250::Instance().Encode(
        QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
    return bytes.toStdString();
}

std::string Unrepresentable(std::string_view utf8) {
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    const QByteArray bytes = CodePage1250::Instance().Encode(text);
    // Encode gives one byte per character; a '?' that was no '?' marks one
    // the code page lacks.
    QString missing;
    qsizetype at = 0;
    for (qsizetype i = 0; i < text.size(); ++i, ++at) {
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const QString character = text.mid(i, pair ? 2 : 1);
        if (bytes[at] == CodePage1250::kSubstitute && character != QStringLiteral("?")) missing += character;
        if (pair) ++i;
    }
    return missing.toStdString();
}

std::size_t CharacterCount(std::string_view utf8) {
    std::size_t count = 0;
    for (char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

struct PacketReader::Impl {
    ReceiveReassembly reassembly{Codec()};
    std::vector<std::uint8_t> combined;  // the leftover and the chunk, as the walk sees them
};

PacketReader::PacketReader() : impl_(std::make_unique<Impl>()) {}
PacketReader::~PacketReader() = default;

bool PacketReader::Feed(std::span<const std::uint8_t> chunk, const OnPacket &onPacket) {
    if (badHead_) return false;
    // The walk sees the leftover followed by the chunk; keep the same bytes
    // so that a bad head can be shown.
    const PacketRest &rest = impl_->reassembly.Rest();
    auto &combined = impl_->combined;
    combined.clear();
    if (rest.nRestB > 0) combined.assign(rest.restBufB.begin(), rest.restBufB.begin() + rest.nRestB);
    combined.insert(combined.end(), chunk.begin(), chunk.end());
    std::size_t end = 0;  // one past the last packet handed on
    const WalkResult result = impl_->reassembly.Arrive(
        chunk, [&](const std::vector<std::uint8_t> &bufB, std::int32_t start, std::int32_t) {
            const Head head = ReadHead(bufB.data() + start);
            const auto begin = static_cast<std::size_t>(start);
            end = begin + kHeadSize + static_cast<std::size_t>(head.length);
            onPacket(head, std::span(bufB.data() + begin + kHeadSize, static_cast<std::size_t>(head.length)));
        });
    if (result == WalkResult::Ok) return true;
    // The walk stopped at the head after the last packet handed on.
    std::array<std::uint8_t, kHeadSize> head{};
    const auto after = std::span(combined).subspan(std::min(end, combined.size()));
    if (packet::DecodeHead(Codec(), after).status == packet::HeadStatus::BadLength)
        std::copy_n(after.begin(), kHeadSize, head.begin());
    badHead_ = head;
    return false;
}

std::size_t PacketReader::Pending() const {
    const std::int32_t n = impl_->reassembly.Rest().nRestB;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string DescribeHead(std::span<const std::uint8_t, kHeadSize> bytes) {
    const Head head = ReadHead(bytes.data());
    std::string type;
    for (char c : head.type) {
        if (c >= 0x20 && c < 0x7F) {
            type += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            type += hex;
        }
    }
    std::string text = "\"" + type + "\" number " + std::to_string(head.number) + " length " +
                       std::to_string(head.length) + " (";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        if (i > 0) text += ' ';
        text += hex;
    }
    return text + ")";
}

Received Classify(const Head &head) {
    const auto bytes = packet::EncodeHead(Codec(), head.Type(), head.number, head.length);
    // Only the head decides; the payload is not looked at.
    switch (DecidePacket(Codec(), std::span<const std::uint8_t>(bytes.data(), bytes.size())).action) {
        case DispatchAction::Log: return Received::Text;
        case DispatchAction::LogAndAnswer: return Received::News;
        case DispatchAction::Echo: return Received::Ping;
        case DispatchAction::LogRoundTrip: return Received::Pong;
        case DispatchAction::Ignore: break;
    }
    return Received::Other;
}

}  // namespace tessary::cli
