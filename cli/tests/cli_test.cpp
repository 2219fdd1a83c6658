// tessary-cli against the real server on loopback, with espeak-ng
// recordings of the seed words.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "cli_process.h"
#include "core/packet_head.h"
#include "speech.h"
#include "test_client.h"
#include "vantrel.h"

namespace tessary::cli::test {
namespace {

using nlohmann::json;
using tessary::test::TempDir;
using tessary::test::TestServer;

class CliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir;
        for (const std::string &word : ReadWordList(TESSARY_SEED_WORDS)) {
            auto samples = SpokenWord(word);
            const auto path = folder_->Path() / (word + ".1.wav");
            WriteWav(path, samples);
            files_.push_back(path.string());
            samples_[path.string()] = std::move(samples);
        }
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }

    std::vector<std::string> Args(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(server_.Port())});
        return args;
    }

    static inline TempDir *folder_ = nullptr;
    static inline std::vector<std::string> files_;
    static inline std::map<std::string, std::vector<std::int16_t>> samples_;
    TempDir data_;
    TestServer server_{data_.Path(), TESSARY_SEED_FILE, 2, 0, TESSARY_PHONES_FILE};
};

// The packets of a byte stream, cut by their heads.
std::vector<std::pair<vantrel::PacketHead, std::vector<std::uint8_t>>> Packets(const std::vector<std::uint8_t> &bytes) {
    std::vector<std::pair<vantrel::PacketHead, std::vector<std::uint8_t>>> packets;
    std::size_t at = 0;
    while (at + 12 <= bytes.size()) {
        const auto head = vantrel::DecodePacketHead(bytes.data() + at);
        EXPECT_GE(head.length, 0);
        const auto end = at + 12 + static_cast<std::size_t>(head.length);
        EXPECT_LE(end, bytes.size());
        packets.push_back({head, {bytes.begin() + static_cast<long>(at) + 12, bytes.begin() + static_cast<long>(end)}});
        at = end;
    }
    EXPECT_EQ(at, bytes.size());
    return packets;
}

std::string TypeOf(const vantrel::PacketHead &head) { return {head.type.data(), 4}; }

// The library's offline analysis of a recording from its second sample on.
std::vector<float> OfflineAnalysis(const std::vector<std::int16_t> &samples) {
    const auto frames = static_cast<std::int32_t>(samples.size());  // more than enough room
    EXPECT_EQ(InitClient(nullptr, frames, 8, 160, 80, 20000), 0);
    Test(samples.data() + 1, static_cast<std::int32_t>(samples.size()) - 1);
    std::vector<float> floats;
    std::vector<std::uint8_t> packet(512 * 4);
    while (GetBufLen() > 0) {
        GetParam(packet.data(), 512);
        const auto head = vantrel::DecodePacketHead(packet.data());
        for (std::int32_t i = 0; i < head.length / 4; ++i) {
            const std::uint32_t bits = vantrel::LoadLittleEndian32(packet.data() + 12 + 4 * i);
            float f;
            std::memcpy(&f, &bits, 4);
            floats.push_back(f);
        }
    }
    DeallocEnv();
    return floats;
}

TEST_F(CliTest, SeedWordsAreRecognisedAndEveryJsonLineCarriesEveryField) {
    auto args = Args({"--json", "--fast", "--min-accuracy", "100", "recognise"});
    args.insert(args.end(), files_.begin(), files_.end());
    const Outcome run = RunCli(args);
    EXPECT_EQ(run.status, 0) << run.err;
    const auto lines = SplitLines(run.out);
    ASSERT_EQ(lines.size(), files_.size() + 1) << run.out;
    std::set<std::size_t> indexes;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const json u = json::parse(lines[i]);
        for (const char *field : {"type", "index", "file", "expected", "status", "answer", "recognised", "correct",
                                  "audio_ms", "latency_ms", "rest_to_answer_ms", "data_packets", "floats",
                                  "session", "best", "prompt", "error"})
            EXPECT_TRUE(u.contains(field)) << field << " missing in " << lines[i];
        EXPECT_EQ(u["type"], "utterance");
        EXPECT_EQ(u["status"], "answered");
        EXPECT_EQ(u["answer"], "Recognised: " + u["expected"].get<std::string>() + "\r\n");
        EXPECT_EQ(u["recognised"], u["expected"]);
        EXPECT_EQ(u["correct"], true);
        EXPECT_TRUE(u["error"].is_null());
        EXPECT_GT(u["data_packets"].get<int>(), 0);
        EXPECT_EQ(u["floats"].get<int>() % 9, 0);
        EXPECT_GE(u["latency_ms"].get<double>(), 0.0);
        EXPECT_EQ(u["file"], files_[u["index"].get<std::size_t>()]);
        EXPECT_NEAR(u["audio_ms"].get<double>(), samples_[u["file"]].size() / 8.0, 0.01);
        indexes.insert(u["index"].get<std::size_t>());
    }
    EXPECT_EQ(indexes.size(), files_.size());
    const json s = json::parse(lines.back());
    EXPECT_EQ(s["type"], "summary");
    EXPECT_EQ(s["schema"], 1);
    EXPECT_EQ(s["utterances"], files_.size());
    EXPECT_EQ(s["answered"], files_.size());
    EXPECT_EQ(s["accuracy_percent"], 100.0);
    EXPECT_TRUE(s["confusions"].empty());
    EXPECT_EQ(s["pace"], "fast");
    EXPECT_EQ(s["exit_status"], 0);
    EXPECT_EQ(s["server"], "Tessary recognition server: 13 words in the vocabulary.\r\n");
    for (const char *key : {"median", "p95", "p99", "max", "mean"}) {
        EXPECT_LE(s["latency_ms"][key].get<double>(), s["latency_ms"]["max"].get<double>() + 1e-9) << key;
        EXPECT_TRUE(s["rest_to_answer_ms"].contains(key));
    }
}

TEST_F(CliTest, TraceShowsTheWindowsStreamAtRealTimePace) {
    const std::string file = folder_->Path() / "ano.1.wav";
    const Outcome run = RunCli(Args({"--trace", "recognise", file}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("right   " + file + ": ano"), std::string::npos) << run.out;
    std::vector<std::string> sent, received;
    std::vector<double> dataTimes;
    const std::regex line(R"(\[\s*([0-9.]+)\] #0 ([<>]) (\w{4})\s+(-?\d+)\s+(\d+)  (.*))");
    for (const auto &l : SplitLines(run.err)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        const std::string shown = m[3].str() + " " + m[4].str() + " " + m[5].str() + " " + m[6].str();
        (m[2] == ">" ? sent : received).push_back(shown);
        if (m[3] == "DATA") dataTimes.push_back(std::stod(m[1]));
    }
    // Greeting, the start, the 370 ms ticks (35 frames first, then 37), the end.
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent[0], "NEWS 0 9 \"news_demo\"");
    EXPECT_EQ(sent[1], "SRCG 0 0 \"\"");
    EXPECT_EQ(sent[2], "OSVF 1 4 \"demo\"");
    EXPECT_EQ(sent[3].substr(0, 40), "DATA 0 1260 315 floats (35 frames), from");
    EXPECT_EQ(sent[4].substr(0, 20), "DATA 1 1332 333 floa");
    EXPECT_EQ(sent.back(), "REST 0 2 \"\\r\\n\"");
    EXPECT_EQ(received.front(), "NEWS 0 57 \"Tessary recognition server: 13 words in the vocabulary.\\r\\n\"");
    EXPECT_EQ(received.back(), "UMSG 0 17 \"Recognised: ano\\r\\n\"");
    for (std::size_t i = 1; i < dataTimes.size(); ++i) EXPECT_NEAR(dataTimes[i] - dataTimes[i - 1], 0.370, 0.15);
}

TEST_F(CliTest, PacketStreamEqualsTheLibrarysOfflineAnalysisAndReplays) {
    const TempDir out;
    const auto record = out.Path() / "session.bin";
    const std::string first = folder_->Path() / "chaloupka.1.wav";
    const std::string second = folder_->Path() / "dva.1.wav";
    const Outcome run = RunCli(Args({"--fast", "--record", record.string(), "recognise", first, second}));
    ASSERT_EQ(run.status, 0) << run.err;

    std::ifstream in(record, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto packets = Packets(bytes);
    ASSERT_GE(packets.size(), 4u);
    EXPECT_EQ(TypeOf(packets[0].first), "NEWS");
    std::vector<std::vector<float>> utterances;
    std::int32_t number = 0;
    for (const auto &[head, payload] : packets) {
        const std::string type = TypeOf(head);
        if (type == "SRCG") {
            EXPECT_EQ(head.length, 0);
            utterances.emplace_back();
        } else if (type == "DATA") {
            ASSERT_FALSE(utterances.empty());
            EXPECT_EQ(head.number, number++);  // counted across the connection's utterances
            EXPECT_LE(head.length, 509 * 4);
            for (std::size_t i = 0; i < payload.size(); i += 4) {
                const std::uint32_t bits = vantrel::LoadLittleEndian32(payload.data() + i);
                float f;
                std::memcpy(&f, &bits, 4);
                utterances.back().push_back(f);
            }
        } else if (type == "REST") {
            EXPECT_EQ(payload, (std::vector<std::uint8_t>{'\r', '\n'}));
        }
    }
    ASSERT_EQ(utterances.size(), 2u);
    for (std::size_t u = 0; u < 2; ++u) {
        const auto expected = OfflineAnalysis(samples_[u == 0 ? first : second]);
        ASSERT_EQ(utterances[u].size(), expected.size());
        EXPECT_EQ(std::memcmp(utterances[u].data(), expected.data(), expected.size() * sizeof(float)), 0)
            << "utterance " << u << " differs from the offline analysis";
    }

    const Outcome replay = RunCli(Args({"replay", record.string()}));
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(SplitLines(replay.out),
              (std::vector<std::string>{"REST: Recognised: chaloupka", "REST: Recognised: dva",
                                        std::to_string(packets.size()) + " packets replayed, 2 of 2 requests answered"}));
}

TEST_F(CliTest, TwentySessionsInParallelAnswerEveryUtterance) {
    const TempDir out;
    const auto list = out.Path() / "list.tsv";
    {
        std::ofstream tsv(list);
        tsv << "# path TAB word\n\n";
        for (int round = 0; round < 3; ++round)
            for (const auto &f : files_) tsv << f << "\t" << std::filesystem::path(f).stem().stem().string() << "\n";
    }
    const Outcome run = RunCli(Args({"--json", "--fast", "--concurrency", "20", "recognise", "--list", list.string()}));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = SplitLines(run.out);
    ASSERT_EQ(lines.size(), 3 * files_.size() + 1);
    std::set<int> sessions;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const json u = json::parse(lines[i]);
        EXPECT_EQ(u["correct"], true) << lines[i];
        sessions.insert(u["session"].get<int>());
    }
    EXPECT_GT(sessions.size(), 1u);
    EXPECT_LE(sessions.size(), 20u);
    EXPECT_EQ(json::parse(lines.back())["answered"], 3 * files_.size());
    EXPECT_GE(server_.Stats().sessions.load(), sessions.size());
}

TEST_F(CliTest, UnreadableFilesAndMissedAccuracyFailWithStatusOne) {
    const TempDir out;
    const std::string missing = (out.Path() / "nula.missing.wav").string();
    const std::string ano = folder_->Path() / "ano.1.wav";
    const Outcome run = RunCli(Args({"--fast", "recognise", ano, missing}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("tessary-cli: cannot read " + missing + ": "), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("2 utterances: 1 answered, 0 without answer, 0 with the connection lost, 1 unreadable"),
              std::string::npos)
        << run.out;

    // The list says "ne" for a recording of "ano".
    const auto list = out.Path() / "list.tsv";
    std::ofstream(list) << ano << "\tne\n" << (folder_->Path() / "ne.1.wav").string() << "\n";
    const Outcome scored = RunCli(Args({"--fast", "--min-accuracy", "60", "recognise", "--list", list.string()}));
    EXPECT_EQ(scored.status, 1);
    EXPECT_NE(scored.out.find("accuracy: 50.0 % (1 of 2 right)"), std::string::npos) << scored.out;
    EXPECT_NE(scored.out.find("confusions: ne heard as ano (1)"), std::string::npos) << scored.out;
    EXPECT_NE(scored.err.find("accuracy 50.0 % is below the required 60.0 %"), std::string::npos) << scored.err;
    EXPECT_EQ(RunCli(Args({"--fast", "--min-accuracy", "50", "recognise", "--list", list.string()})).status, 0);
}

TEST_F(CliTest, ListenStreamsTheCaptureFileUntilEnter) {
    const std::string file = folder_->Path() / "sedm.1.wav";
    // Enter after the word: the recording stops long before its 20 s.
    const Outcome run = RunCli(Args({"--json", "listen", "--expect", "sedm"}), {"VANTREL_CAPTURE_FILE=" + file}, "\n",
                               static_cast<int>(samples_[file].size() / 8) + 400);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LT(run.seconds, 10.0);
    const auto lines = SplitLines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    const json u = json::parse(lines[0]);
    EXPECT_EQ(u["recognised"], "sedm");
    EXPECT_TRUE(u["file"].is_null());
    EXPECT_EQ(u["floats"].get<int>() % 9, 0);
    EXPECT_GT(u["data_packets"].get<int>(), 0);
}

TEST_F(CliTest, AddWordEnrolsARecordingThatIsThenRecognised) {
    const TempDir out;
    const auto file = out.Path() / "kočka.1.wav";
    WriteWav(file, SpokenWord("kočka"));
    const Outcome add = RunCli(Args({"--fast", "add-word", "kočka", file.string()}));
    ASSERT_EQ(add.status, 0) << add.err;
    EXPECT_NE(add.out.find("Say the word kočka now"), std::string::npos) << add.out;
    EXPECT_NE(add.out.find("Added the word kočka to the vocabulary."), std::string::npos) << add.out;

    const Outcome vocabulary = RunCli(Args({"vocabulary"}));
    EXPECT_EQ(vocabulary.status, 0);
    EXPECT_EQ(SplitLines(vocabulary.out).front(), "Vocabulary, 14 words:");
    EXPECT_EQ(SplitLines(vocabulary.out).back(), "kočka");
    EXPECT_EQ(RunCli(Args({"--fast", "recognise", file.string()})).status, 0);

    const Outcome best = RunCli(Args({"--fast", "best", "2", file.string()}));
    EXPECT_EQ(best.status, 0);
    EXPECT_NE(best.out.find("Best 2 of the last utterance (distance, smaller is closer):\n1. kočka "), std::string::npos)
        << best.out;

    // Too long for the window's box, or not in the code page: usage errors.
    EXPECT_EQ(RunCli(Args({"add-word", "abcdefghijklmnopqrstu", file.string()})).status, 2);
    EXPECT_EQ(RunCli(Args({"add-word", "日本", file.string()})).status, 2);
}

TEST_F(CliTest, PingReportsEveryRoundTrip) {
    const Outcome run = RunCli(Args({"--json", "ping", "--count", "3", "--interval", "0"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = SplitLines(run.out);
    ASSERT_EQ(lines.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        const json p = json::parse(lines[static_cast<std::size_t>(i)]);
        EXPECT_EQ(p["seq"], i + 1);
        EXPECT_GE(p["rtt_ms"].get<double>(), 0.0);
    }
    EXPECT_EQ(json::parse(lines[3])["answered"], 3);
}

}  // namespace
}  // namespace tessary::cli::test
