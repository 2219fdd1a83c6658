#include "wire.h"

#include <cstdio>

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
    return packet::EncodeText(Codec(), type, number, utf8, crlf);
}

std::size_t CharacterCount(std::string_view utf8) {
    std::size_t count = 0;
    for (char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

std::string DescribeHead(const Head &head, std::span<const std::uint8_t, VANTREL_PACKET_HEAD_SIZE> bytes) {
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

std::string DescribeBadHead(const ReceiveReassembly &reassembly) {
    return DescribeHead(reassembly.BadHead(), reassembly.BadHeadBytes());
}

}  // namespace tessary::cli
