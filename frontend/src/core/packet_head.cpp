#include "packet_head.h"

namespace vantrel {

void StoreLittleEndian32(std::uint8_t *bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
    bytes[2] = static_cast<std::uint8_t>(value >> 16);
    bytes[3] = static_cast<std::uint8_t>(value >> 24);
}

std::uint32_t LoadLittleEndian32(const std::uint8_t *bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void EncodePacketHead(const PacketHead &head, std::uint8_t *packet) {
    for (std::size_t i = 0; i < head.type.size(); ++i) {
        packet[i] = static_cast<std::uint8_t>(head.type[i]);
    }
    StoreLittleEndian32(packet + 4, static_cast<std::uint32_t>(head.number));
    StoreLittleEndian32(packet + 8, static_cast<std::uint32_t>(head.length));
}

PacketHead DecodePacketHead(const std::uint8_t *packet) {
    PacketHead head;
    for (std::size_t i = 0; i < head.type.size(); ++i) {
        head.type[i] = static_cast<char>(packet[i]);
    }
    head.number = static_cast<std::int32_t>(LoadLittleEndian32(packet + 4));
    head.length = static_cast<std::int32_t>(LoadLittleEndian32(packet + 8));
    return head;
}

std::int32_t WritePacketHead(std::uint8_t *packet, const char *type, const std::int32_t *number,
                             const std::int32_t *length) {
    PacketHead head;
    for (std::size_t i = 0; i < head.type.size(); ++i) head.type[i] = type[i];
    head.number = *number;
    head.length = *length;
    EncodePacketHead(head, packet);
    return 0;
}

std::int32_t ReadPacketHead(const std::uint8_t *packet, char *type, std::int32_t *number,
                            std::int32_t *length) {
    const PacketHead head = DecodePacketHead(packet);
    for (std::size_t i = 0; i < head.type.size(); ++i) type[i] = head.type[i];
    *number = head.number;
    *length = head.length;
    return 0;
}

}  // namespace vantrel
