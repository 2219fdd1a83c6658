// The byte-level units: framing, code page, reassembly walk, dispatch decision
// and the numbers read from text. Heads go through the library's exported
// codec, as in the program.
#include "packet/packet.h"
#include "protocol/code_page.h"
#include "protocol/dispatch.h"
#include "protocol/message_types.h"
#include "protocol/receive_reassembly.h"
#include "vantrel.h"

#include <gtest/gtest.h>

#include <QSet>

#include <climits>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tessary {
namespace {

using Bytes = std::vector<std::uint8_t>;

const packet::HeadCodec kCodec{&::SetPacketHead, &::GetPacketHead};
constexpr std::size_t kHead = packet::kHeadSize;

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

// ---- Code page -------------------------------------------------------------------------

TEST(CodePage, EveryByteDecodesToOneCharacterAndEncodesBackToItself) {
    const CodePage1250 &cp = CodePage1250::Instance();
    Bytes all(256);
    for (int b = 0; b < 256; ++b) all[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(b);
    const QString text = cp.Decode(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(QSet<QChar>(text.begin(), text.end()).size(), 256);
    const QByteArray back = cp.Encode(text);
    ASSERT_EQ(back.size(), 256);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(static_cast<std::uint8_t>(back[b]), b) << "byte " << b;
    // The five bytes that the code page leaves undefined.
    for (int b : {0x81, 0x83, 0x88, 0x90, 0x98}) EXPECT_EQ(text[b].unicode(), b);
}

TEST(CodePage, CzechTextBothWays) {
    const CodePage1250 &cp = CodePage1250::Instance();
    EXPECT_EQ(cp.Encode(u"á"), QByteArray("\xE1"));
    EXPECT_EQ(cp.Encode(u"ř"), QByteArray("\xF8"));
    EXPECT_EQ(cp.Encode(u"řeč"), QByteArray("\xF8\x65\xE8"));
    EXPECT_EQ(cp.Encode(u"Příliš žluťoučký kůň"),
              QByteArray("P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2"));
    const Bytes czech = B("\xD8" "e\xE8 \x8A" "ance \x80");
    EXPECT_EQ(cp.Decode(czech), QString::fromUtf8("Řeč Šance €"));
}

TEST(CodePage, UnrepresentableCharacterBecomesOneSubstituteByte) {
    const CodePage1250 &cp = CodePage1250::Instance();
    EXPECT_EQ(cp.Encode(u"a中b"), QByteArray("a?b"));
    EXPECT_EQ(cp.Encode(QString::fromUtf8("x\xF0\x9F\x98\x80y")), QByteArray("x?y"));  // a surrogate pair
    const QChar lone[] = {QChar(0xD800), QChar('z')};
    EXPECT_EQ(cp.Encode(QStringView(lone, 2)), QByteArray("?z"));
    EXPECT_EQ(cp.Encode(u""), QByteArray());
}

// ---- Reassembly ---------------------------------------------------------------------------

struct Received {
    std::vector<Bytes> packets;
    std::vector<std::int32_t> nBufB;
};

ReceiveReassembly::DetectPacket Collect(Received &into) {
    return [&into](const Bytes &bufB, std::int32_t start, std::int32_t n) {
        const std::int32_t length = LengthAt(bufB, static_cast<std::size_t>(start));
        ASSERT_LE(static_cast<std::int64_t>(start) + static_cast<std::int64_t>(kHead) + length, n);
        ASSERT_LE(static_cast<std::size_t>(n), bufB.size());
        into.packets.emplace_back(bufB.begin() + start,
                                  bufB.begin() + start + static_cast<std::ptrdiff_t>(kHead) + length);
        into.nBufB.push_back(n);
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
    for (auto n : got.nBufB) EXPECT_EQ(n, static_cast<std::int32_t>(stream.size()));
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
        EXPECT_EQ(reassembly.BadLength(), bad);
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

// ---- Dispatch decision -------------------------------------------------------------------

TEST(Dispatch, ActionByTypeAndNumber) {
    const auto decide = [](std::string_view type, std::int32_t number, std::string_view text) {
        const Bytes p = Packet(type, number, text);
        const DispatchDecision d = DecidePacket(kCodec, p);
        EXPECT_EQ(std::string(d.payload.begin(), d.payload.end()),
                  d.action == DispatchAction::Ignore && d.payload.empty() ? std::string() : std::string(text));
        return d.action;
    };
    EXPECT_EQ(decide("UMSG", 5, "abc"), DispatchAction::Log);
    EXPECT_EQ(decide("DMSG", 0, "x"), DispatchAction::Log);
    EXPECT_EQ(decide("DMSG", 2, "x"), DispatchAction::Log);
    EXPECT_EQ(decide("DMSG", -1, "x"), DispatchAction::Log);
    EXPECT_EQ(decide("DMSG", 1, "x"), DispatchAction::Ignore);
    EXPECT_EQ(decide("NEWS", 0, "news"), DispatchAction::LogAndAnswer);
    EXPECT_EQ(decide("PING", 7, "12345"), DispatchAction::Echo);
    EXPECT_EQ(decide("PONG", 0, "99"), DispatchAction::LogRoundTrip);
    EXPECT_EQ(decide("umsg", 0, "abc"), DispatchAction::Ignore);
    EXPECT_EQ(decide("DATA", 0, "abcd"), DispatchAction::Ignore);
    EXPECT_EQ(decide("UMS ", 0, "abc"), DispatchAction::Ignore);
}

// ---- Numbers from text --------------------------------------------------------------------

TEST(Numbers, PortTextReadAsNumberRoundedHalvesToEven) {
    EXPECT_EQ(PortNumber("105"), 105);
    EXPECT_EQ(PortNumber("1 05"), 105);
    EXPECT_EQ(PortNumber("105 "), 105);
    EXPECT_EQ(PortNumber("\t1\n05"), 105);
    EXPECT_EQ(PortNumber("80.5"), 80);
    EXPECT_EQ(PortNumber("81.5"), 82);
    EXPECT_EQ(PortNumber("80x"), 80);
    EXPECT_EQ(PortNumber(""), 0);
    EXPECT_EQ(PortNumber("x80"), 0);
    EXPECT_EQ(PortNumber("-3"), -3);
    EXPECT_EQ(PortNumber("1e3"), 1000);
    EXPECT_EQ(PortNumber("1D2"), 100);
    EXPECT_EQ(PortNumber("12e"), 12);
    EXPECT_EQ(PortNumber(".5e1"), 5);
    EXPECT_EQ(PortNumber("99999999999"), 99999999999);
    EXPECT_GE(PortNumber("1e999"), 9007199254740992);
}

TEST(Numbers, RoundTripIsTheWrappedDifference) {
    EXPECT_EQ(RoundTripMs(1015, LeadingNumber("1000")), 15);
    EXPECT_EQ(RoundTripMs(1000, LeadingNumber("  1000")), 0);
    EXPECT_EQ(RoundTripMs(1234, LeadingNumber("not a number")), 1234);
    EXPECT_EQ(RoundTripMs(116, LeadingNumber("100.5")), 16);  // 15.5: halves to even
    EXPECT_EQ(RoundTripMs(115, LeadingNumber("100.5")), 14);  // 14.5
    // The counter passed its highest value between ping and pong.
    EXPECT_EQ(RoundTripMs(INT_MIN + 5, LeadingNumber("2147483637")), 16);
    EXPECT_EQ(RoundTripMs(-100, LeadingNumber("-110")), 10);
    // A difference beyond every counter: 1e300 is a multiple of 2^32, so it wraps to 0.
    EXPECT_EQ(RoundTripMs(5, LeadingNumber("1e300")), 0);
    EXPECT_EQ(RoundTripMs(5, LeadingNumber("-1e300")), 0);
}

}  // namespace
}  // namespace tessary
