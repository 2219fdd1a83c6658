#include "packet/drain.h"

#include "packet/capture_settings.h"
#include "packet/message_types.h"

#include <algorithm>

namespace tessary {

Drained DrainPackets(const ParameterSource &library, std::int32_t floats, std::vector<std::uint8_t> &buffer,
                     const std::function<void(std::span<const std::uint8_t> packet)> &send) {
    constexpr std::int32_t kHeadSlots = VANTREL_PACKET_HEAD_SIZE / 4;
    Drained drained;
    if (floats < 1) return drained;
    const std::int32_t units = std::min(floats + kHeadSlots, capture::kParamSlots);
    buffer.assign(static_cast<std::size_t>(units) * 4, 0);
    const std::int32_t room = units * 4 - VANTREL_PACKET_HEAD_SIZE;
    std::int32_t left = floats;
    while (left > 0) {
        drained.waiting = library.getParam(buffer.data(), std::min(units, left + kHeadSlots));
        if (drained.waiting < 0) break;  // nothing was written
        // The head the library wrote says how much of the buffer is the packet.
        const std::int32_t length = std::clamp(packet::DecodeHead(library.codec, buffer).head.length, 0, room);
        send(std::span<const std::uint8_t>(buffer.data(), VANTREL_PACKET_HEAD_SIZE + static_cast<std::size_t>(length)));
        ++drained.packets;
        drained.floats += length / 4;
        if (length < 4) break;  // a library that took nothing would never end the drain
        left = std::min(left - length / 4, drained.waiting);
    }
    return drained;
}

std::vector<std::uint8_t> UtteranceStart(const packet::HeadCodec &codec) {
    return packet::EncodeText(codec, mdlMSGConst::SRCG, 0, "");
}

std::vector<std::uint8_t> UtteranceEnd(const packet::HeadCodec &codec) {
    return packet::EncodeText(codec, mdlMSGConst::REST, 0, "", true);
}

}  // namespace tessary
