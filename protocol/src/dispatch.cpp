#include "packet/dispatch.h"

#include "packet/message_types.h"

namespace tessary {

PacketKind KindOf(const packet::Head &head) {
    namespace M = mdlMSGConst;
    const std::string_view type = head.Type();
    if (type == M::UMSG) return PacketKind::Text;
    if (type == M::DMSG) return head.number == 1 ? PacketKind::Other : PacketKind::Text;
    if (type == M::NEWS) return PacketKind::News;
    if (type == M::PING) return PacketKind::Ping;
    if (type == M::PONG) return PacketKind::Pong;
    return PacketKind::Other;
}

std::vector<std::uint8_t> AnswerTo(const packet::HeadCodec &codec, PacketKind kind,
                                   std::span<const std::uint8_t> payload) {
    namespace M = mdlMSGConst;
    switch (kind) {
        case PacketKind::News: return packet::EncodeText(codec, M::OSVF, 1, "demo");
        case PacketKind::Ping: return packet::Encode(codec, M::PONG, 0, payload);
        case PacketKind::Text:
        case PacketKind::Pong:
        case PacketKind::Other: break;
    }
    return {};
}

}  // namespace tessary
