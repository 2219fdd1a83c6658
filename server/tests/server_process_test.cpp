// The tessary-server program itself: its start-up line, its answers over a
// socket, its one-line errors and its exit on SIGTERM.
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "server_process.h"
#include "test_client.h"

namespace tessary::test {
namespace {

TEST(ServerProgram, StartsAnswersAndStopsOnSigterm) {
    TempDir dir;
    const auto data = dir.Path() / "data";
    Process server({"--listen", "127.0.0.1", "--port", "0", "--data", data.string(), "--seed",
                    WriteSeedFile(dir.Path()).string()});
    EXPECT_EQ(server.Line().rfind("descriptor limit", 0), 0u);
    const std::string startup = server.Line();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(startup, m, std::regex(R"(tessary-server listening on 127\.0\.0\.1 port (\d+), 2 words in .*vocabulary\.tsv, \d+ threads)")))
        << startup;
    const auto port = static_cast<std::uint16_t>(std::stoi(m[1]));
    {
        TestClient client(port);
        client.Send("NEWS", 0, "news_demo");
        const auto news = client.Read();
        ASSERT_TRUE(news);
        EXPECT_EQ(news->payload, "Tessary recognition server: 2 words in the vocabulary.\r\n");
        EXPECT_EQ(client.Utter(Utterance(1, 40)), "Recognised: ne\r\n");
    }
    // Port taken: one line and a failure.
    Process second({"--listen", "127.0.0.1", "--port", std::to_string(port), "--data", data.string()});
    EXPECT_EQ(second.Line(), "error: cannot listen on port " + std::to_string(port) + ": Address already in use");
    EXPECT_EQ(second.Wait(), 1);

    server.Signal(SIGTERM);
    std::string line;
    do line = server.Line();
    while (!line.empty() && line.find("stopping") == std::string::npos);
    EXPECT_EQ(line, "stopping on SIGTERM");
    EXPECT_EQ(server.Wait(), 0);
}

TEST(ServerProgram, BadOptionsAndABrokenVocabularyAreOneLineErrors) {
    TempDir dir;
    {
        Process p({"--port", "70000"});
        EXPECT_EQ(p.Line(), "tessary-server: --port needs a number from 0 to 65535, not \"70000\"");
        EXPECT_EQ(p.Wait(), 2);
    }
    std::filesystem::create_directories(dir.Path() / "data");
    std::ofstream(dir.Path() / "data" / "vocabulary.tsv") << "tessary-vocabulary 7\n";
    Process p({"--port", "0", "--data", (dir.Path() / "data").string()});
    EXPECT_EQ(p.Line(), "error: " + (dir.Path() / "data" / "vocabulary.tsv").string() +
                            ", line 1: not a vocabulary file of a version this server reads "
                            "(\"tessary-vocabulary 3\", 2 or 1)");
    EXPECT_EQ(p.Wait(), 1);
}

}  // namespace
}  // namespace tessary::test
