// The client's side of the wire: framing, reassembly walk, the kinds of
// received packets and their answers, the drain of "DATA" packets. Heads go
// through the library's exported codec, as in the programs.
#include "packet/capture_settings.h"
#include "packet/dispatch.h"
#include "packet/drain.h"
#include "packet/message_types.h"
#include "packet/packet.h"
#include "packet/reassembly.h"
#include "vantrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tessary {
namespace {

using Bytes = std::vector<std::uint8_t>;

const packet::HeadCodec kCodec{&::SetPacketHead, &::GetPacketHead};
constexpr std::size_t kHead = VANTREL_PACKET_HEAD_SIZE;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Packet(std::string_view type, std::int32_t number, std::string_view text) {
    return packet::Encode(kCodec, type, number, text);
}

// A raw head with any length, for malformed streams.
Bytes Head(std::string_view type, std::int32_t number, std::int32_t length) {
    const auto head = packet::EncodeHead(kCodec, type, number, length);
    return Bytes(head.begin(), head.end());
}

std::int32_t LengthAt(const Bytes &bytes, std::size_t at) {
    return packet::DecodeHead(kCodec, std::span(bytes).subspan(at)).head.length;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// ---- Framing -----------------------------------------------------------------------

TEST(Framing, EachKindOfMessageHasItsExactBytes) {
    EXPECT_EQ(Packet("GETV", 0, ""), B(std::string("GETV\0\0\0\0\0\0\0\0", 12)));
    EXPECT_EQ(Packet("REST", 0, "\r\n"), B(std::string("REST\0\0\0\0\2\0\0\0\r\n", 14)));
    EXPECT_EQ(Packet("PING", 0, "123456"), B(std::string("PING\0\0\0\0\6\0\0\0" "123456", 18)));
    EXPECT_EQ(Packet("OSVF", 1, "demo"), B(std::string("OSVF\1\0\0\0\4\0\0\0demo", 16)));
    EXPECT_EQ(Packet("NEWS", 0, "news_demo"), B(std::string("NEWS\0\0\0\0\x09\0\0\0news_demo", 21)));
    EXPECT_EQ(Packet("GETB", 0, "5"), B(std::string("GETB\0\0\0\0\1\0\0\0" "5", 13)));
    EXPECT_EQ(Packet("SRCG", 0, "").size(), 12u);
    EXPECT_EQ(Packet("PONG", -2, "x"), B(std::string("PONG\xFE\xFF\xFF\xFF\1\0\0\0x", 13)));
}

TEST(Framing, TypeIsCutOrPaddedToFourCharacters) {
    const Bytes longType = Packet("PINGPONG", 0, "");
    ASSERT_EQ(longType.size(), 12u);
    EXPECT_EQ(Bytes(longType.begin(), longType.begin() + 4), B("PING"));
    const Bytes shortType = Packet("AB", 0, "");
    EXPECT_EQ(Bytes(shortType.begin(), shortType.begin() + 4), B("AB  "));
    EXPECT_EQ(packet::FitType(""), (std::array<char, 4>{' ', ' ', ' ', ' '}));
}

TEST(MessageTypes, EighteenDistinctFourLetterTypesInDeclaredOrder) {
    const auto &all = mdlMSGConst::kAll;
    EXPECT_EQ(all.front(), "UMSG");
    EXPECT_EQ(all[2], "DATA");
    EXPECT_EQ(all[8], "SRCG");
    EXPECT_EQ(all.back(), "NEWS");
    EXPECT_EQ(std::set<std::string_view>(all.begin(), all.end()).size(), 18u);
    for (auto t : all) EXPECT_EQ(t.size(), 4u);
}

// ---- Reassembly ---------------------------------------------------------------------------

struct Received {
    std::vector<Bytes> packets;
};

// Each packet handed on, written out again from its decoded head and payload.
ReceiveReassembly::OnPacket Collect(Received &into) {
    return [&into](const ReceivedPacket &p) {
        ASSERT_EQ(p.payload.size(), static_cast<std::size_t>(p.head.length));
        into.packets.push_back(Concat({Head(p.head.Type(), p.head.number, p.head.length),
                                       Bytes(p.payload.begin(), p.payload.end())}));
    };
}

// Splits a stream of packets the plain way: whole, head by head.
std::vector<Bytes> SplitWhole(const Bytes &stream) {
    std::vector<Bytes> packets;
    std::size_t pos = 0;
    while (pos + kHead <= stream.size()) {
        const auto length = static_cast<std::size_t>(LengthAt(stream, pos));
        if (pos + kHead + length > stream.size()) break;
        packets.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                             stream.begin() + static_cast<std::ptrdiff_t>(pos + kHead + length));
        pos += kHead + length;
    }
    return packets;
}

// Feeds the stream cut at the given points and checks, after every chunk,
// that the leftover is exactly the stream from the last packet boundary.
std::vector<Bytes> FeedInChunks(const Bytes &stream, const std::vector<std::size_t> &cuts) {
    ReceiveReassembly reassembly(kCodec);
    Received got;
    std::size_t from = 0;
    std::size_t boundary = 0;  // end of the last whole packet dispatched
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
        EXPECT_EQ(reassembly.Arrive(std::span(stream).subspan(from, to - from), Collect(got)), WalkResult::Ok);
        boundary = 0;
        for (const Bytes &p : got.packets) boundary += p.size();
        const PacketRest &rest = reassembly.Rest();
        if (to == boundary) {
            EXPECT_EQ(rest.nRestB, -1);
        } else {
            EXPECT_EQ(rest.nRestB, static_cast<std::int32_t>(to - boundary));
            EXPECT_TRUE(std::equal(stream.begin() + static_cast<std::ptrdiff_t>(boundary),
                                   stream.begin() + static_cast<std::ptrdiff_t>(to), rest.restBufB.begin()));
        }
        from = to;
    }
    return got.packets;
}

Bytes SeveralPackets() {
    return Concat({Packet("UMSG", 0, "abc"), Packet("NEWS", 3, ""), Packet("PING", 7, "12345"),
                   Packet("DMSG", 1, std::string(40, 'x')), Packet("XXXX", -1, "\r\n"),
                   Packet("PONG", 0, "987654321")});
}

TEST(Reassembly, WholeStreamDispatchesEveryPacketInOrder) {
    const Bytes stream = SeveralPackets();
    ReceiveReassembly reassembly(kCodec);
    Received got;
    reassembly.Arrive(stream, Collect(got));
    EXPECT_EQ(got.packets, SplitWhole(stream));
    EXPECT_EQ(got.packets.size(), 6u);
    EXPECT_EQ(reassembly.Rest().nRestB, -1);
}

TEST(Reassembly, OneBytePerChunkGivesTheSamePackets) {
    const Bytes stream = SeveralPackets();
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < stream.size(); ++i) cuts.push_back(i);
    EXPECT_EQ(FeedInChunks(stream, cuts), SplitWhole(stream));
}

TEST(Reassembly, EverySplitPointAndEveryPairOfSplitPoints) {
    const Bytes stream = SeveralPackets();
    const std::vector<Bytes> whole = SplitWhole(stream);
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        ASSERT_EQ(FeedInChunks(stream, {a}), whole) << "cut at " << a;
        for (std::size_t b = a; b <= stream.size(); b += 3) {
            ASSERT_EQ(FeedInChunks(stream, {a, b}), whole) << "cuts at " << a << ", " << b;
        }
    }
}

TEST(Reassembly, RandomChunkingsOfRandomStreams) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        Bytes stream;
        const int count = std::uniform_int_distribution<int>(1, 12)(random);
        for (int i = 0; i < count; ++i) {
            const auto length = std::uniform_int_distribution<std::size_t>(0, round % 10 == 0 ? 3000 : 30)(random);
            Bytes payload(length);
            for (auto &b : payload) b = static_cast<std::uint8_t>(random());
            const Bytes p = packet::Encode(kCodec, mdlMSGConst::kAll[random() % 18],
                                           static_cast<std::int32_t>(random()), payload);
            stream.insert(stream.end(), p.begin(), p.end());
        }
        std::vector<std::size_t> cuts;
        for (std::size_t pos = 0;;) {
            pos += std::uniform_int_distribution<std::size_t>(0, 40)(random);
            if (pos >= stream.size()) break;
            cuts.push_back(pos);
        }
        ASSERT_EQ(FeedInChunks(stream, cuts), SplitWhole(stream)) << "round " << round;
    }
}

TEST(Reassembly, DocumentedCasesOfLeftover) {
    const Bytes a = Packet("UMSG", 0, "first");
    const Bytes b = Packet("UMSG", 0, "second");
    const Bytes c = Packet("UMSG", 0, "third one");
    ReceiveReassembly reassembly(kCodec);
    Received got;
    EXPECT_EQ(reassembly.Rest().nRestB, 0);  // not set up before the first arrival

    // Two whole packets and the first 5 bytes of a third.
    const Bytes first = Concat({a, b, Bytes(c.begin(), c.begin() + 5)});
    reassembly.Arrive(first, Collect(got));
    EXPECT_EQ(got.packets.size(), 2u);
    EXPECT_EQ(reassembly.Rest().nRestB, 5);
    reassembly.Arrive(std::span(c).subspan(5), Collect(got));
    ASSERT_EQ(got.packets.size(), 3u);
    EXPECT_EQ(got.packets[2], c);
    EXPECT_EQ(reassembly.Rest().nRestB, -1);

    // A head and half its payload: nothing dispatched, all of it kept.
    const Bytes long1 = Packet("UMSG", 0, std::string(100, 'q'));
    reassembly.Arrive(std::span(long1).first(62), Collect(got));
    EXPECT_EQ(got.packets.size(), 3u);
    EXPECT_EQ(reassembly.Rest().nRestB, 62);
    EXPECT_EQ(reassembly.Rest().packetSize, 112);
    // A long packet one byte at a time: the leftover grows by one each time.
    for (std::size_t i = 62; i + 1 < long1.size(); ++i) {
        reassembly.Arrive(std::span(long1).subspan(i, 1), Collect(got));
        EXPECT_EQ(reassembly.Rest().nRestB, static_cast<std::int32_t>(i + 1));
    }
    EXPECT_EQ(got.packets.size(), 3u);
    reassembly.Arrive(std::span(long1).last(1), Collect(got));
    ASSERT_EQ(got.packets.size(), 4u);
    EXPECT_EQ(got.packets[3], long1);

    // A bare head is a whole packet.
    reassembly.Arrive(Packet("GETV", 0, ""), Collect(got));
    EXPECT_EQ(got.packets.size(), 5u);
    EXPECT_EQ(reassembly.Rest().nRestB, -1);
}

TEST(Reassembly, NegativeOrHugeLengthIsAProtocolErrorAndDropsTheLeftover) {
    for (const std::int32_t bad : {-1, -12, INT_MIN, packet::kMaxPayload + 1, INT_MAX - 11, INT_MAX}) {
        ReceiveReassembly reassembly(kCodec);
        Received got;
        const Bytes good = Packet("UMSG", 0, "ok");
        const Bytes stream = Concat({good, Head("UMSG", 0, bad), B("trailing bytes")});
        EXPECT_EQ(reassembly.Arrive(stream, Collect(got)), WalkResult::BadLength) << bad;
        EXPECT_EQ(reassembly.BadHead().length, bad);
        const Bytes badHead = Head("UMSG", 0, bad);
        EXPECT_TRUE(std::equal(badHead.begin(), badHead.end(), reassembly.BadHeadBytes().begin()));
        ASSERT_EQ(got.packets.size(), 1u);  // the packet before the bad head still counts
        EXPECT_EQ(got.packets[0], good);
        EXPECT_EQ(reassembly.Rest().nRestB, -1);
        // The next bytes start a packet afresh.
        reassembly.Arrive(good, Collect(got));
        EXPECT_EQ(got.packets.size(), 2u);
    }
    // A bad head that arrives split, after a leftover, is found too.
    ReceiveReassembly reassembly(kCodec);
    Received got;
    const Bytes bad = Head("UMSG", 0, -5);
    EXPECT_EQ(reassembly.Arrive(std::span(bad).first(7), Collect(got)), WalkResult::Ok);
    EXPECT_EQ(reassembly.Arrive(std::span(bad).subspan(7), Collect(got)), WalkResult::BadLength);
    EXPECT_TRUE(got.packets.empty());
    EXPECT_TRUE(std::equal(bad.begin(), bad.end(), reassembly.BadHeadBytes().begin()));
}

TEST(Reassembly, LargestAcceptedLengthWaitsForItsBytes) {
    ReceiveReassembly reassembly(kCodec);
    Received got;
    EXPECT_EQ(reassembly.Arrive(Head("UMSG", 0, packet::kMaxPayload), Collect(got)), WalkResult::Ok);
    EXPECT_EQ(reassembly.Rest().nRestB, 12);
    EXPECT_LT(reassembly.Rest().restBufB.size(), 1024u);  // nothing sized from the length
}

TEST(Reassembly, DroppedLeftoverNeverLeadsTheNextConnection) {
    ReceiveReassembly reassembly(kCodec);
    Received got;
    const Bytes cut = Packet("UMSG", 0, "cut short by a lost connection");
    reassembly.Arrive(std::span(cut).first(20), Collect(got));
    reassembly.DropLeftover();
    const Bytes next = Packet("NEWS", 0, "hello");
    reassembly.Arrive(next, Collect(got));
    ASSERT_EQ(got.packets.size(), 1u);
    EXPECT_EQ(got.packets[0], next);
}

// Regression: a large packet held its size in the leftover buffer for good.
TEST(Reassembly, LargePacketLeavesNoLargeBufferBehind) {
    ReceiveReassembly reassembly(kCodec);
    Received got;
    const Bytes large = Packet("UMSG", 0, std::string(4 * 1024 * 1024, 'x'));
    for (std::size_t at = 0; at < large.size(); at += 300000) {
        reassembly.Arrive(std::span(large).subspan(at, std::min<std::size_t>(300000, large.size() - at)), Collect(got));
        if (at == 0) {
            EXPECT_GE(reassembly.Rest().restBufB.capacity(), 300000u);
        }
    }
    ASSERT_EQ(got.packets.size(), 1u);
    EXPECT_EQ(got.packets[0], large);
    EXPECT_LE(reassembly.Rest().restBufB.capacity(), 64u * 1024);
    // Small traffic after it goes on as before.
    const Bytes small = Packet("NEWS", 0, "hello");
    reassembly.Arrive(std::span(small).first(5), Collect(got));
    reassembly.Arrive(std::span(small).subspan(5), Collect(got));
    ASSERT_EQ(got.packets.size(), 2u);
    EXPECT_EQ(got.packets[1], small);
}

// The library's codec, counting the heads it reads.
int g_headsRead = 0;
std::int32_t CountingGet(const std::uint8_t *packet, char *type, std::int32_t *number, std::int32_t *length) {
    ++g_headsRead;
    return ::GetPacketHead(packet, type, number, length);
}

TEST(Reassembly, EachHeadIsDecodedOnceHoweverThePacketIsCut) {
    const Bytes stream = SeveralPackets();
    const Bytes longOne = Packet("UMSG", 0, std::string(300, 'l'));
    for (const Bytes &bytes : {stream, longOne, Concat({longOne, stream, longOne})}) {
        for (const std::size_t step : {std::size_t{1}, std::size_t{5}, std::size_t{13}, bytes.size()}) {
            ReceiveReassembly reassembly({&::SetPacketHead, &CountingGet});
            Received got;
            g_headsRead = 0;
            for (std::size_t at = 0; at < bytes.size(); at += step)
                reassembly.Arrive(std::span(bytes).subspan(at, std::min(step, bytes.size() - at)), Collect(got));
            EXPECT_EQ(got.packets, SplitWhole(bytes)) << step;
            EXPECT_EQ(g_headsRead, static_cast<int>(got.packets.size())) << "chunks of " << step;
        }
    }
}

// ---- Kinds of received packets and their answers ------------------------------------

TEST(Dispatch, KindByTypeAndNumber) {
    const auto kind = [](std::string_view type, std::int32_t number) {
        return KindOf({packet::FitType(type), number, 0});
    };
    EXPECT_EQ(kind("UMSG", 5), PacketKind::Text);
    EXPECT_EQ(kind("DMSG", 0), PacketKind::Text);
    EXPECT_EQ(kind("DMSG", 2), PacketKind::Text);
    EXPECT_EQ(kind("DMSG", -1), PacketKind::Text);
    EXPECT_EQ(kind("DMSG", 1), PacketKind::Other);
    EXPECT_EQ(kind("NEWS", 0), PacketKind::News);
    EXPECT_EQ(kind("PING", 7), PacketKind::Ping);
    EXPECT_EQ(kind("PONG", 0), PacketKind::Pong);
    EXPECT_EQ(kind("umsg", 0), PacketKind::Other);
    EXPECT_EQ(kind("DATA", 0), PacketKind::Other);
    EXPECT_EQ(kind("UMS", 0), PacketKind::Other);
}

TEST(Dispatch, AnswersAreTheWindowsBytes) {
    const Bytes five = B("\x01\xE1\x81z\xFF");
    EXPECT_EQ(AnswerTo(kCodec, PacketKind::News, B("whatever")), B(std::string("OSVF\1\0\0\0\4\0\0\0demo", 16)));
    EXPECT_EQ(AnswerTo(kCodec, PacketKind::Ping, five), Concat({Head("PONG", 0, 5), five}));
    EXPECT_EQ(AnswerTo(kCodec, PacketKind::Ping, Bytes()), Head("PONG", 0, 0));
    for (PacketKind none : {PacketKind::Text, PacketKind::Pong, PacketKind::Other})
        EXPECT_TRUE(AnswerTo(kCodec, none, five).empty());
    EXPECT_EQ(UtteranceStart(kCodec), Head("SRCG", 0, 0));
    EXPECT_EQ(UtteranceEnd(kCodec), B(std::string("REST\0\0\0\0\2\0\0\0\r\n", 14)));
    EXPECT_EQ(packet::EncodeText(kCodec, "ADDW", 0, "řeč"), B(std::string("ADDW\0\0\0\0\3\0\0\0\xF8" "e\xE8", 15)));
}

// ---- The drain of "DATA" packets ----------------------------------------------------------

// A parameter buffer with its GetParam: float i holds the value i.
struct FakeLibrary {
    static inline std::int32_t waiting = 0;
    static inline std::int32_t taken = 0;
    static inline std::int32_t number = 0;
    static inline std::vector<std::int32_t> sizes;

    static std::int32_t GetParam(std::uint8_t *packet, std::int32_t size) {
        sizes.push_back(size);
        if (waiting < 1 || size < 3) return -1;
        const std::int32_t n = std::min(waiting, size - 3);
        const std::int32_t length = 4 * n;
        const std::int32_t at = number++;
        ::SetPacketHead(packet, "DATA", &at, &length);
        for (std::int32_t i = 0; i < n; ++i) {
            const float value = static_cast<float>(taken + i);
            std::memcpy(packet + kHead + 4 * static_cast<std::size_t>(i), &value, 4);
        }
        taken += n;
        waiting -= n;
        return waiting;
    }
    static void Reset(std::int32_t floats) {
        waiting = floats;
        taken = 0;
        sizes.clear();
    }
};

struct Sent {
    std::vector<Bytes> packets;
    Drained drained;
};

Sent Drain(std::int32_t floats, std::vector<std::uint8_t> &buffer) {
    Sent sent;
    sent.drained = DrainPackets({&FakeLibrary::GetParam, kCodec}, floats, buffer,
                                [&](std::span<const std::uint8_t> p) { sent.packets.emplace_back(p.begin(), p.end()); });
    return sent;
}

std::vector<std::size_t> Sizes(const Sent &sent) {
    std::vector<std::size_t> sizes;
    for (const Bytes &p : sent.packets) sizes.push_back(p.size());
    return sizes;
}

TEST(Drain, PacketSizesOfTheWindowsDrain) {
    std::vector<std::uint8_t> buffer(7, 0xAB);
    FakeLibrary::Reset(0);
    EXPECT_TRUE(Drain(0, buffer).packets.empty());
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(7, 0xAB));  // nothing waiting: bufData left alone
    EXPECT_TRUE(FakeLibrary::sizes.empty());

    const std::pair<std::int32_t, std::vector<std::size_t>> cases[] = {
        {333, {1344}}, {508, {2044}}, {509, {2048}}, {1000, {2048, 1976}}, {1527, {2048, 2048, 2048}}};
    for (const auto &[floats, sizes] : cases) {
        FakeLibrary::Reset(floats);
        const Sent sent = Drain(floats, buffer);
        EXPECT_EQ(Sizes(sent), sizes) << floats;
        EXPECT_EQ(buffer.size(), sizes.front()) << floats;  // sized once, for the largest packet
        EXPECT_EQ(sent.drained.floats, floats);
        EXPECT_EQ(sent.drained.waiting, 0);
        EXPECT_EQ(FakeLibrary::waiting, 0);
    }
    // The numbers are the library's, counting on across drains; the floats
    // run on from packet to packet.
    FakeLibrary::Reset(1000);
    FakeLibrary::number = 40;
    const Sent sent = Drain(1000, buffer);
    ASSERT_EQ(sent.packets.size(), 2u);
    EXPECT_EQ(sent.packets[0], Concat({Head("DATA", 40, 2036), Bytes(sent.packets[0].begin() + 12, sent.packets[0].end())}));
    EXPECT_EQ(Head("DATA", 41, 1964), Bytes(sent.packets[1].begin(), sent.packets[1].begin() + 12));
    float first = 0;
    std::memcpy(&first, sent.packets[1].data() + kHead, 4);
    EXPECT_EQ(first, 509.0f);
}

TEST(Drain, AnOfflineDrainTakesOnlyTheFloatsOfItsTick) {
    std::vector<std::uint8_t> buffer;
    FakeLibrary::Reset(1500);  // a whole recording analysed at once
    const Sent tick = Drain(600, buffer);
    EXPECT_EQ(Sizes(tick), (std::vector<std::size_t>{2048, 12 + 4 * 91}));
    EXPECT_EQ(tick.drained.floats, 600);
    EXPECT_EQ(FakeLibrary::waiting, 900);
    EXPECT_EQ(FakeLibrary::sizes, (std::vector<std::int32_t>{512, 94}));
}

}  // namespace
}  // namespace tessary
