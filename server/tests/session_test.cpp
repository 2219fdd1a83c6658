// Sessions over real loopback connections: every message type, packets cut
// anywhere, malformed lengths, concurrent additions to the vocabulary, and
// the vocabulary across a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "recognizer.h"
#include "test_client.h"

namespace tessary::test {
namespace {

// Three made-up words of 40 frames, as a seed vocabulary file in dir.
std::filesystem::path WriteSeed(const std::filesystem::path &dir) {
    return test::WriteSeed(dir, {{"nula", CutSpeech(Utterance(0, 40))},
                                 {"jedna", CutSpeech(Utterance(1, 40))},
                                 {"dva", CutSpeech(Utterance(2, 40))}});
}

class SessionTest : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path seed = WriteSeed(dir.Path());
    std::filesystem::path data = dir.Path() / "data";
};

TEST_F(SessionTest, GreetsEchoesPingsAndIgnoresOtherTypes) {
    TestServer server(data, seed);
    TestClient client(server.Port());
    client.Send("NEWS", 0, "news_demo");
    auto news = client.Read();
    ASSERT_TRUE(news);
    EXPECT_EQ(news->type, "NEWS");
    EXPECT_NE(news->payload.find("3 words"), std::string::npos) << news->payload;
    // The client's answer to the greeting, declared-only types, a type in
    // lower case and an unknown type with a payload get no answer: the next
    // packet is the "PONG".
    client.Send("OSVF", 1, "demo");
    client.Send("STRT", 0, "");
    client.Send("ping", 0, "123");
    client.Send("XYZW", 5, std::string(100000, 'x'));
    client.Send("PING", 7, "123456");
    auto pong = client.Read();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->type, "PONG");
    EXPECT_EQ(pong->payload, "123456");
    EXPECT_EQ(pong->number, 7);
    client.Send("PING", 0, "");
    pong = client.Read();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->type, "PONG");
    EXPECT_EQ(pong->payload, "");
}

TEST_F(SessionTest, RecognisesUtterancesAndListsVocabularyAndBestWords) {
    TestServer server(data, seed);
    TestClient client(server.Port());
    client.Send("GETB", 0, "5");
    EXPECT_EQ(client.ReadMessage(), "No utterance has been recognised yet.\r\n");
    // Spoken more slowly than the recordings: time warping still finds it.
    EXPECT_EQ(client.Utter(Utterance(1, 55)), "Recognised: jedna\r\n");
    EXPECT_EQ(client.Utter(Utterance(2, 30)), "Recognised: dva\r\n");
    EXPECT_EQ(client.Utter(Utterance(0, 40)), "Recognised: nula\r\n");

    client.Send("GETB", 0, "2");
    const std::string best = client.ReadMessage();
    EXPECT_EQ(best.rfind("Best 2 of the last utterance", 0), 0u) << best;
    EXPECT_NE(best.find("\r\n1. nula "), std::string::npos) << best;
    EXPECT_NE(best.find("\r\n2. "), std::string::npos) << best;
    EXPECT_EQ(best.find("\r\n3. "), std::string::npos) << best;
    client.Send("GETB", 0, "50");  // more than there are: all of them
    EXPECT_NE(client.ReadMessage().find("\r\n3. "), std::string::npos);
    client.Send("GETB", 0, "five");
    EXPECT_EQ(client.ReadMessage(), "GETB needs a number of words, such as 5.\r\n");

    client.Send("GETV");
    EXPECT_EQ(client.ReadMessage(), "Vocabulary, 3 words:\r\nnula\r\njedna\r\ndva\r\n");

    // The log tells where the speech was, the best three words and the time.
    // The word's 40 frames follow 20 of silence; the smoothed energy rises a
    // frame early and falls a frame late.
    const auto described = server.LogLinesWith("speech in frames " + std::to_string(20 - kEndpointMargin - 1) + " to " +
                                               std::to_string(59 + kEndpointMargin + 1) +
                                               " of 85 (noise floor 0.00, peak 7.");
    ASSERT_EQ(described.size(), 1u);
    EXPECT_NE(described[0].find("; best nula "), std::string::npos) << described[0];
    EXPECT_NE(described[0].find(" ms"), std::string::npos) << described[0];

    // After an utterance with no speech the best words of an older one are
    // not offered as if they were its own.
    EXPECT_EQ(client.Utter(SilenceFrames(60)), "Nothing heard.\r\n");
    client.Send("GETB", 0, "5");
    EXPECT_EQ(client.ReadMessage(),
              "The last utterance was not recognised (it held no speech, or it became a recording).\r\n");
}

TEST_F(SessionTest, SilenceIsNothingHeardAndAStrayRestIsIgnored) {
    TestServer server(data, seed);
    TestClient client(server.Port());
    EXPECT_EQ(client.Utter(SilenceFrames(100)), "Nothing heard.\r\n");
    EXPECT_EQ(client.Utter({}), "Nothing heard.\r\n");
    // A second "REST" (the client's stop action can run twice) is not
    // answered: the next packet is the answer to the "PING" after it.
    client.Send("REST", 0, "\r\n");
    client.Send("PING", 0, "1");
    auto p = client.Read();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, "PONG");
    EXPECT_EQ(server.LogLinesWith("REST with no utterance open").size(), 1u);
}

TEST_F(SessionTest, PacketsCutAnywhereGiveTheSameAnswers) {
    TestServer server(data, seed);
    TestClient client(server.Port());
    // Frames cut inside frames: 509 floats a packet as the client sends
    // them, and 7 floats a packet; the stream cut into pieces of 1 to 13
    // bytes regardless of packet bounds.
    std::int32_t number = 0;
    for (std::size_t perPacket : {std::size_t{509}, std::size_t{7}}) {
        std::vector<std::uint8_t> stream = Encode("SRCG", 0, "");
        const auto data = DataPackets(Utterance(2, 45), perPacket, number);
        stream.insert(stream.end(), data.begin(), data.end());
        for (const auto &p : {Encode("REST", 0, "\r\n"), Encode("PING", 0, "42"), Encode("GETV", 0, "")})
            stream.insert(stream.end(), p.begin(), p.end());
        std::mt19937 random(7);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + random() % 13);
            client.Send(std::vector<std::uint8_t>(stream.begin() + at, stream.begin() + at + n));
            at += n;
        }
        EXPECT_EQ(client.ReadMessage(), "Recognised: dva\r\n");
        auto pong = client.Read();
        ASSERT_TRUE(pong);
        EXPECT_EQ(pong->type, "PONG");
        EXPECT_EQ(pong->payload, "42");
        EXPECT_EQ(client.ReadMessage().rfind("Vocabulary, 3 words:", 0), 0u);
    }
    EXPECT_EQ(server.Stats().dataNumbersSkipped.load(), 0u);
    EXPECT_EQ(server.Stats().dataNumbersRepeated.load(), 0u);
}

TEST_F(SessionTest, SkippedAndRepeatedDataNumbersAreLogged) {
    TestServer server(data, seed);
    TestClient client(server.Port());
    const auto frames = Utterance(0, 40);
    std::int32_t number = 10;
    auto first = DataPackets(std::vector<float>(frames.begin(), frames.begin() + 300), 300, number);
    number = 13;  // 11 and 12 never come
    auto second = DataPackets(std::vector<float>(frames.begin() + 300, frames.begin() + 600), 300, number);
    number = 13;  // 13 again
    auto third = DataPackets(std::vector<float>(frames.begin() + 600, frames.end()), 1000, number);
    client.Send("SRCG");
    client.Send(first);
    client.Send(second);
    client.Send(third);
    client.Send("REST", 0, "\r\n");
    EXPECT_EQ(client.ReadMessage(), "Recognised: nula\r\n");
    EXPECT_EQ(server.Stats().dataNumbersSkipped.load(), 1u);
    EXPECT_EQ(server.Stats().dataNumbersRepeated.load(), 1u);
    EXPECT_EQ(server.LogLinesWith("DATA #13 after #10: 2 packet number(s) skipped").size(), 1u);
    EXPECT_EQ(server.LogLinesWith("DATA #13 after #13: packet number repeated").size(), 1u);
}

TEST_F(SessionTest, MalformedLengthEndsOnlyThatSession) {
    TestServer server(data, seed);
    TestClient bystander(server.Port());
    // The bystander is in the middle of a packet when the others go wrong.
    const auto ping = Encode("PING", 0, "still here");
    bystander.Send(std::vector<std::uint8_t>(ping.begin(), ping.begin() + 15));

    TestClient negative(server.Port());
    negative.Send(Head("DATA", 0, -4));
    EXPECT_TRUE(negative.WaitClosed());

    TestClient huge(server.Port());
    huge.Send(Head("ADDW", 0, packet::kMaxPayload + 1));
    EXPECT_TRUE(huge.WaitClosed());

    TestClient largest(server.Port());  // exactly 16 MiB is allowed
    largest.Send(Encode("WOUT", 0, std::string(packet::kMaxPayload, '\0')));
    largest.Send("PING", 0, "ok");
    auto p = largest.Read();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->payload, "ok");

    bystander.Send(std::vector<std::uint8_t>(ping.begin() + 15, ping.end()));
    p = bystander.Read();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, "PONG");
    EXPECT_EQ(p->payload, "still here");
    EXPECT_EQ(server.Stats().badLengths.load(), 2u);
    EXPECT_EQ(server.LogLinesWith("announces -4 bytes").size(), 1u);
    EXPECT_EQ(server.LogLinesWith("announces 16777217 bytes").size(), 1u);
}

TEST_F(SessionTest, AddsWordsAndFurtherRecordings) {
    TestServer server(data, seed);
    TestClient client(server.Port());
    const std::string kocka = "ko\xE8ka";  // kočka in Windows-1250
    client.Send("ADDW", 0, kocka);
    EXPECT_EQ(client.ReadMessage(), "Say the word " + kocka + " now: your next utterance becomes its recording.\r\n");
    // Silence does not make a recording; the word still waits.
    EXPECT_EQ(client.Utter(SilenceFrames(50)), "Nothing heard: say the word " + kocka + " again.\r\n");
    EXPECT_EQ(client.Utter(Utterance(5, 40)), "Added the word " + kocka + " to the vocabulary.\r\n");
    EXPECT_EQ(client.Utter(Utterance(5, 50)), "Recognised: " + kocka + "\r\n");

    client.Send("ADDW", 0, kocka);
    EXPECT_EQ(client.ReadMessage(), "Say the word " + kocka +
                                        " now: your next utterance becomes a further recording of it (it has 1 "
                                        "recording).\r\n");
    EXPECT_EQ(client.Utter(Utterance(5, 60)), "Stored recording 2 of the word " + kocka + ".\r\n");
    EXPECT_EQ(server.Words().Snapshot()->Find(kocka)->recordings.size(), 2u);
    // Followed by a no-break space, it is the same word, not a look-alike.
    std::string withBlank = kocka;
    withBlank.push_back('\xA0');
    client.Send("ADDW", 0, withBlank);
    EXPECT_EQ(client.ReadMessage().rfind("Say the word " + kocka + " now: your next utterance becomes a further", 0),
              0u);
    EXPECT_EQ(client.Utter(Utterance(5, 45)), "Stored recording 3 of the word " + kocka + ".\r\n");

    client.Send("ADDW", 0, "");
    EXPECT_EQ(client.ReadMessage(), "Cannot add the word: the word is empty.\r\n");
    client.Send("ADDW", 0, "a\tb");
    EXPECT_EQ(client.ReadMessage(), "Cannot add the word: the word holds a control character.\r\n");
    client.Send("ADDW", 0, std::string(21, 'a'));
    EXPECT_EQ(client.ReadMessage(), "Cannot add the word: the word is longer than 20 characters.\r\n");

    client.Send("NEWS", 0, "news_demo");
    auto news = client.Read();
    ASSERT_TRUE(news);
    EXPECT_NE(news->payload.find("4 words"), std::string::npos) << news->payload;
}

TEST_F(SessionTest, ConcurrentAdditionsAllLandAndSurviveARestart) {
    constexpr int kClients = 8;
    {
        TestServer server(data, seed, 2);
        std::vector<std::thread> threads;
        std::vector<std::string> answers(kClients);
        for (int i = 0; i < kClients; ++i)
            threads.emplace_back([&, i] {
                TestClient client(server.Port());
                client.Send("ADDW", 0, "slovo" + std::to_string(i));
                client.ReadMessage();
                answers[i] = client.Utter(Utterance(10 + i, 40));
            });
        for (auto &t : threads) t.join();
        for (int i = 0; i < kClients; ++i)
            EXPECT_EQ(answers[i], "Added the word slovo" + std::to_string(i) + " to the vocabulary.\r\n");
        EXPECT_EQ(server.Words().Size(), 3u + kClients);
    }
    // A new server on the same folder has every word and recognises them.
    TestServer server(data, seed);
    EXPECT_EQ(server.Words().Size(), 3u + kClients);
    TestClient client(server.Port());
    for (int i = 0; i < kClients; ++i)
        EXPECT_EQ(client.Utter(Utterance(10 + i, 45)), "Recognised: slovo" + std::to_string(i) + "\r\n");
    // And nothing but the vocabulary file and its journal was left in the folder.
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(data)) files.push_back(entry.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"vocabulary.journal", "vocabulary.tsv"}));
}

// Regression: matching ran on the connection threads, so two sessions
// recognising against a large vocabulary held up every other session's PING.
TEST(SessionMatching, ALongMatchDoesNotDelayAnotherSessionsPong) {
    TempDir dir;
    VocabularyState state;
    for (int id = 0; id < 1000; ++id) {
        auto word = std::make_shared<Word>();
        word->name = std::to_string(id);
        word->name.insert(0, 1, 'w');
        word->recordings.push_back(SyntheticWord(id, 70));
        state.words.push_back(std::move(word));
    }
    const auto seed = dir.Path() / "seed.tsv";
    std::ofstream(seed) << SerializeVocabulary(state);
    TestServer server(dir.Path() / "data", seed, 2, 1);
    // How long one match of three seconds of speech takes here.
    const auto snapshot = server.Words().Snapshot();
    const std::vector<float> longWord = Utterance(3, kMaxSpeechFrames);
    auto start = std::chrono::steady_clock::now();
    const Recognition once = Recognise(longWord, *snapshot);
    const double match = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_FALSE(once.ranking.empty());

    // Two sessions keep the matcher busy with six utterances each.
    std::vector<std::thread> talkers;
    std::atomic<int> recognised{0};
    for (int k = 0; k < 2; ++k)
        talkers.emplace_back([&] {
            TestClient client(server.Port());
            std::vector<std::uint8_t> bytes;
            std::int32_t number = 0;
            for (int i = 0; i < 6; ++i) {
                const auto srcg = Encode("SRCG", 0, "");
                const auto data = DataPackets(longWord, 509, number);
                const auto rest = Encode("REST", 0, "\r\n");
                for (const auto *part : {&srcg, &data, &rest}) bytes.insert(bytes.end(), part->begin(), part->end());
            }
            client.Send(bytes);
            for (int i = 0; i < 6; ++i) recognised += client.ReadMessage().rfind("Recognised: w", 0) == 0;
        });
    // A third session pings meanwhile.
    TestClient pinger(server.Port());
    std::vector<double> waits;
    start = std::chrono::steady_clock::now();
    while (recognised < 12 && waits.size() < 2000) {
        const auto sent = std::chrono::steady_clock::now();
        pinger.Send("PING", 0, "x");
        const auto pong = pinger.Read();
        ASSERT_TRUE(pong);
        EXPECT_EQ(pong->type, "PONG");
        waits.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto &t : talkers) t.join();
    EXPECT_EQ(recognised.load(), 12);
    ASSERT_GE(waits.size(), 5u);
    std::sort(waits.begin(), waits.end());
    const double median = waits[waits.size() / 2];
    // Behind a match, a PING would wait half a match on average.
    EXPECT_LT(median, match / 4) << "one match takes " << match << " s; " << waits.size() << " pings";
    EXPECT_LT(waits.back(), 2 * match + 0.2);
}

}  // namespace
}  // namespace tessary::test
