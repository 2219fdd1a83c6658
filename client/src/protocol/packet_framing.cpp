#include "protocol/packet_framing.h"

#include "core/packet_head.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tessary {

std::array<char, 4> FitType(std::string_view type) {
    std::array<char, 4> fitted{' ', ' ', ' ', ' '};
    std::copy_n(type.begin(), std::min<std::size_t>(type.size(), fitted.size()), fitted.begin());
    return fitted;
}

std::vector<std::uint8_t> FramePacket(std::string_view type, std::int32_t number,
                                      std::span<const std::uint8_t> payload) {
    if (payload.size() >
        static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - vantrel::kPacketHeadSize) {
        throw std::length_error("message too long for one packet");
    }
    std::vector<std::uint8_t> packet(vantrel::kPacketHeadSize + payload.size());
    const vantrel::PacketHead head{FitType(type), number, static_cast<std::int32_t>(payload.size())};
    vantrel::EncodePacketHead(head, packet.data());
    std::copy(payload.begin(), payload.end(), packet.begin() + vantrel::kPacketHeadSize);
    return packet;
}

}  // namespace tessary
