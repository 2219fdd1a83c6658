// The 12-byte packet head: four ASCII type letters, a signed 32-bit number and
// a signed 32-bit payload length, both little-endian. Every packet on the
// connection, in either direction, is such a head followed by `length` bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "vantrel.h"  // VANTREL_PACKET_HEAD_SIZE

namespace vantrel {

struct PacketHead {
    std::array<char, 4> type{};
    std::int32_t number = 0;
    std::int32_t length = 0;
};

// Writes the head field by field into packet[0..11].
void EncodePacketHead(const PacketHead &head, std::uint8_t *packet);

// Reads the head from packet[0..11]. Validates nothing.
PacketHead DecodePacketHead(const std::uint8_t *packet);

// The same codec with the signatures of the exported SetPacketHead and
// GetPacketHead (type: 4 characters, no terminator). Both return 0.
std::int32_t WritePacketHead(std::uint8_t *packet, const char *type, const std::int32_t *number,
                             const std::int32_t *length);
std::int32_t ReadPacketHead(const std::uint8_t *packet, char *type, std::int32_t *number,
                            std::int32_t *length);

void StoreLittleEndian32(std::uint8_t *bytes, std::uint32_t value);
std::uint32_t LoadLittleEndian32(const std::uint8_t *bytes);

}  // namespace vantrel
