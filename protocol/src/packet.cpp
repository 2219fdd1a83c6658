#include "packet/packet.h"

#include "packet/code_page.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tessary::packet {

std::array<char, 4> FitType(std::string_view type) {
    std::array<char, 4> fitted{' ', ' ', ' ', ' '};
    std::copy_n(type.begin(), std::min<std::size_t>(type.size(), fitted.size()), fitted.begin());
    return fitted;
}

std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> EncodeHead(const HeadCodec &codec, std::string_view type,
                                               std::int32_t number, std::int32_t length) {
    std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> head{};
    const std::array<char, 4> fitted = FitType(type);
    codec.set(head.data(), fitted.data(), &number, &length);
    return head;
}

std::vector<std::uint8_t> Encode(const HeadCodec &codec, std::string_view type, std::int32_t number,
                                 std::span<const std::uint8_t> payload) {
    if (payload.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - VANTREL_PACKET_HEAD_SIZE) {
        throw std::length_error("message too long for one packet");
    }
    const auto head = EncodeHead(codec, type, number, static_cast<std::int32_t>(payload.size()));
    std::vector<std::uint8_t> bytes(VANTREL_PACKET_HEAD_SIZE + payload.size());
    std::copy(head.begin(), head.end(), bytes.begin());
    std::copy(payload.begin(), payload.end(), bytes.begin() + VANTREL_PACKET_HEAD_SIZE);
    return bytes;
}

std::vector<std::uint8_t> Encode(const HeadCodec &codec, std::string_view type, std::int32_t number,
                                 std::string_view payload) {
    return Encode(codec, type, number,
                  std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t *>(payload.data()),
                                                payload.size()));
}

std::vector<std::uint8_t> EncodeText(const HeadCodec &codec, std::string_view type, std::int32_t number,
                                     std::string_view utf8, bool crlf) {
    std::string bytes = Utf8ToCp1250Substituting(utf8);
    if (crlf) bytes += "\r\n";
    return Encode(codec, type, number, std::string_view(bytes));
}

DecodedHead DecodeHead(const HeadCodec &codec, std::span<const std::uint8_t> bytes) {
    DecodedHead decoded;
    if (bytes.size() < VANTREL_PACKET_HEAD_SIZE) return decoded;
    codec.get(bytes.data(), decoded.head.type.data(), &decoded.head.number, &decoded.head.length);
    decoded.status = LengthAllowed(decoded.head.length) ? HeadStatus::Ok : HeadStatus::BadLength;
    return decoded;
}

}  // namespace tessary::packet
