#include "core/packet_head.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>

namespace vantrel {
namespace {

TEST(PacketHead, PingWithFiveCharactersHasTheDocumentedBytes) {
    std::array<std::uint8_t, 17> packet{};
    EncodePacketHead({{'P', 'I', 'N', 'G'}, 0, 5}, packet.data());
    std::memcpy(packet.data() + 12, "12345", 5);
    const std::array<std::uint8_t, 17> expected{'P', 'I', 'N', 'G', 0, 0, 0, 0, 5, 0, 0, 0,
                                                '1', '2', '3', '4', '5'};
    EXPECT_EQ(packet, expected);
}

TEST(PacketHead, IntegersAreLittleEndianWhateverTheirSign) {
    std::array<std::uint8_t, 12> packet{};
    EncodePacketHead({{'D', 'A', 'T', 'A'}, -2, 2036}, packet.data());
    const std::array<std::uint8_t, 12> expected{'D', 'A', 'T', 'A', 0xFE, 0xFF, 0xFF, 0xFF,
                                                0xF4, 0x07, 0, 0};
    EXPECT_EQ(packet, expected);
}

TEST(PacketHead, RoundTripsEveryNumberAndLengthUnchecked) {
    const std::int32_t values[] = {0, 1, -1, 108, 2036, std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max(), 0x12345678};
    for (std::int32_t number : values) {
        for (std::int32_t length : values) {
            std::array<std::uint8_t, 12> packet{};
            EncodePacketHead({{'x', 'Y', '\0', '\xFF'}, number, length}, packet.data());
            const PacketHead back = DecodePacketHead(packet.data());
            EXPECT_EQ(back.type, (std::array<char, 4>{'x', 'Y', '\0', '\xFF'}));
            EXPECT_EQ(back.number, number);
            EXPECT_EQ(back.length, length);
        }
    }
}

}  // namespace
}  // namespace vantrel
