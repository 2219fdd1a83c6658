#include "packet/packet.h"

#include "vantrel.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessary::packet {
namespace {

const HeadCodec kCodec{&::SetPacketHead, &::GetPacketHead};

TEST(Packet, EncodeGivesTheHeadFieldByFieldThenThePayload) {
    const std::vector<std::uint8_t> bytes = Encode(kCodec, "PING", -2, std::string_view("12345"));
    const std::vector<std::uint8_t> expected = {'P', 'I', 'N', 'G', 0xFE, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0,
                                                '1', '2', '3', '4', '5'};
    EXPECT_EQ(bytes, expected);
    // Short types are padded with spaces, long ones cut to four letters.
    EXPECT_EQ(Encode(kCodec, "OK", 0, std::string_view()),
              (std::vector<std::uint8_t>{'O', 'K', ' ', ' ', 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(EncodeHead(kCodec, "NEWSX", 258, -1)[3], 'S');
}

TEST(Packet, DecodeReadsBackWhatEncodeWrote) {
    for (const std::int32_t number : {0, 1, -1, INT_MIN, INT_MAX}) {
        const auto bytes = Encode(kCodec, "DATA", number, std::string_view("abcd"));
        const DecodedHead decoded = DecodeHead(kCodec, bytes);
        ASSERT_TRUE(decoded.Ok());
        EXPECT_EQ(decoded.head.Type(), "DATA");
        EXPECT_EQ(decoded.head.number, number);
        EXPECT_EQ(decoded.head.length, 4);
    }
}

TEST(Packet, LengthsOutsideZeroToSixteenMebibytesAreBad) {
    for (const std::int32_t length : {0, 1, kMaxPayload}) {
        EXPECT_EQ(DecodeHead(kCodec, EncodeHead(kCodec, "UMSG", 0, length)).status, HeadStatus::Ok) << length;
    }
    for (const std::int32_t length : {-1, INT_MIN, kMaxPayload + 1, INT_MAX}) {
        const DecodedHead decoded = DecodeHead(kCodec, EncodeHead(kCodec, "UMSG", 0, length));
        EXPECT_EQ(decoded.status, HeadStatus::BadLength) << length;
        EXPECT_EQ(decoded.head.length, length);  // kept, to name it in the message
    }
    EXPECT_EQ(kMaxPayload, 16 * 1024 * 1024);
}

TEST(Packet, FewerThanTwelveBytesAreAnIncompleteHead) {
    const auto head = EncodeHead(kCodec, "PING", 0, 0);
    EXPECT_EQ(DecodeHead(kCodec, std::span(head.data(), VANTREL_PACKET_HEAD_SIZE - 1)).status, HeadStatus::Incomplete);
    EXPECT_EQ(DecodeHead(kCodec, {}).status, HeadStatus::Incomplete);
}

}  // namespace
}  // namespace tessary::packet
