// The pieces tessary-cli computes with: the packets of an utterance, the
// reader of the server's stream, the trace line, the report's figures and
// the list.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "commands.h"
#include "report.h"
#include "test_client.h"
#include "trace.h"
#include "utterance.h"
#include "wire.h"

namespace tessary::cli::test {
namespace {

std::vector<std::int16_t> Noise(std::size_t count) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> value(-3000, 3000);
    std::vector<std::int16_t> samples(count);
    for (auto &s : samples) s = static_cast<std::int16_t>(value(random));
    return samples;
}

TEST(Utterance, PacketsFollowTheWindowsTicksAndDrains) {
    // 20 s: 1998 frames from sample 1 on (the last at 159761); ticks of 2960 samples.
    Utterance u;
    Analyse(Noise(160000), &u);
    EXPECT_EQ(u.ticks, 55);
    EXPECT_EQ(u.floats, 1998 * 9);
    ASSERT_FALSE(u.packets.empty());
    std::int32_t floats = 0, number = 0, tick = 0;
    for (const DataPacket &p : u.packets) {
        const Head head = ReadHead(p.bytes.data());
        EXPECT_EQ(head.Type(), "DATA");
        EXPECT_EQ(head.number, number++);
        EXPECT_EQ(p.bytes.size(), 12u + static_cast<std::size_t>(head.length));
        EXPECT_GE(p.tick, tick);
        tick = p.tick;
        // The first tick finds the frames at 1 .. 2721, every later one 37.
        if (p.tick == 1) {
            EXPECT_EQ(head.length, 35 * 9 * 4);
        } else if (p.tick < u.ticks) {
            EXPECT_EQ(head.length, 37 * 9 * 4);
        }
        floats += head.length / 4;
    }
    EXPECT_EQ(floats, u.floats);
    EXPECT_EQ(u.packets.back().tick, u.ticks);

    // Too short for one frame: no packet, but still its ticks.
    Analyse(Noise(161), &u);
    EXPECT_TRUE(u.packets.empty());
    EXPECT_EQ(u.ticks, 1);
    Analyse(Noise(162), &u);
    EXPECT_EQ(u.floats, 9);
}

TEST(Utterance, ExpectedWordComesFromTheFileName) {
    EXPECT_EQ(WordFromFileName("/a/b.c/tři.2.wav"), "tři");
    EXPECT_EQ(WordFromFileName("ano.wav"), "ano");
    EXPECT_EQ(WordFromFileName("noext"), "noext");
    EXPECT_EQ(WordFromFileName(".hidden.wav"), "");
}

TEST(Reassembly, CutsAnyChunkingAndShowsABadHead) {
    std::vector<std::uint8_t> stream;
    for (const char *text : {"abc", "", "Recognised: ř\r\n"}) {
        const auto p = FrameText("UMSG", 0, text);
        stream.insert(stream.end(), p.begin(), p.end());
    }
    const auto bad = tessary::test::Head("DMSG", 7, -1);
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.push_back('x');
    std::mt19937 random(3);
    for (int trial = 0; trial < 50; ++trial) {
        ReceiveReassembly reader(Codec());
        std::vector<std::string> texts;
        bool ok = true;
        for (std::size_t at = 0; at < stream.size() && ok;) {
            const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + random() % 9);
            ok = reader.Arrive(std::span(stream.data() + at, n), [&](const ReceivedPacket &p) {
                texts.push_back(Cp1250ToUtf8(p.payload));
            }) == WalkResult::Ok;
            at += n;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(texts, (std::vector<std::string>{"abc", "", "Recognised: ř\r\n"}));
        EXPECT_EQ(DescribeBadHead(reader), "\"DMSG\" number 7 length -1 (44 4D 53 47 07 00 00 00 FF FF FF FF)");
    }
}

TEST(Wire, TextIsWindows1250BothWays) {
    EXPECT_EQ(FrameText("ADDW", 0, "řeč"),
              (std::vector<std::uint8_t>{'A', 'D', 'D', 'W', 0, 0, 0, 0, 3, 0, 0, 0, 0xF8, 'e', 0xE8}));
    const std::uint8_t undefined[] = {0x81, 0xE1};
    EXPECT_EQ(Cp1250ToUtf8(undefined), "\u0081á");
    EXPECT_EQ(Cp1250Unrepresentable("kočka?日"), "日");
    EXPECT_EQ(CharacterCount("čtyři"), 5u);
    const auto rest = FrameText("REST", 0, "", true);
    EXPECT_EQ(rest, (std::vector<std::uint8_t>{'R', 'E', 'S', 'T', 0, 0, 0, 0, 2, 0, 0, 0, '\r', '\n'}));
}

TEST(Trace, LinesShowTextAndSummariseFloats) {
    Head text{{'U', 'M', 'S', 'G'}, 0, 5};
    const std::uint8_t bytes[] = {0xE1, 'b', '\r', '\n', 0x01};
    EXPECT_EQ(Trace::Format(1.5, 3, '<', text, bytes), "[    1.500] #3 < UMSG      0      5  \"áb\\r\\n\\x01\"");
    std::vector<std::uint8_t> data(11 * 4);
    for (int i = 0; i < 11; ++i) {
        const float f = static_cast<float>(i) - 2.5f;
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        for (int b = 0; b < 4; ++b) data[static_cast<std::size_t>(4 * i + b)] = static_cast<std::uint8_t>(bits >> (8 * b));
    }
    Head head{{'D', 'A', 'T', 'A'}, 12, 44};
    EXPECT_EQ(Trace::Format(0, 0, '>', head, data),
              "[    0.000] #0 > DATA     12     44  11 floats (1 frames and 2 floats), from -2.5 to 7.5");
}

TEST(Report, RecognisedWordPercentilesAndScoring) {
    EXPECT_EQ(RecognisedWord("Recognised: čtyři\r\n"), "čtyři");
    EXPECT_EQ(RecognisedWord("Nothing heard.\r\n"), "Nothing heard.");
    EXPECT_EQ(RecognisedWord("  ano  "), "ano");
    const auto p = Summarise({5, 1, 4, 2, 3});
    ASSERT_TRUE(p);
    EXPECT_DOUBLE_EQ(p->median, 3);
    EXPECT_DOUBLE_EQ(p->p95, 4.8);
    EXPECT_DOUBLE_EQ(p->max, 5);
    EXPECT_DOUBLE_EQ(p->mean, 3);
    EXPECT_FALSE(Summarise({}));
    Result r;
    r.expected = "ne";
    r.answer = "Recognised: ano\r\n";
    EXPECT_EQ(r.Correct(), false);
    r.status = Status::NoAnswer;
    EXPECT_FALSE(r.Correct());
    const auto json = Report::ToJson(r);
    EXPECT_TRUE(json["answer"].is_null());
    EXPECT_EQ(json["status"], "no_answer");
}

TEST(List, PathsFromTheListsFolderAndWordsFromTheLineOrName) {
    tessary::test::TempDir dir;
    const auto list = dir.Path() / "list.tsv";
    std::ofstream(list) << "# comment\n\nano.1.wav\tne \r\n/abs/dva.wav\n sub/x.wav\t\n";
    std::vector<Item> items;
    std::string error;
    ASSERT_TRUE(ReadList(list.string(), &items, &error));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].file, (dir.Path() / "ano.1.wav").string());
    EXPECT_EQ(items[0].expected, "ne");
    EXPECT_EQ(items[1].file, "/abs/dva.wav");
    EXPECT_EQ(items[1].expected, "dva");
    EXPECT_EQ(items[2].expected, "x");
    EXPECT_FALSE(ReadList((dir.Path() / "none.tsv").string(), &items, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tessary::cli::test
