// The tessary-server program itself: its start-up line, its answers over a
// socket, its one-line errors and its exit on SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>

#include "test_client.h"

extern char **environ;

namespace tessary::test {
namespace {

// The program running with its standard error on a pipe.
class Process {
public:
    explicit Process(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), TESSARY_SERVER_PROGRAM);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, TESSARY_SERVER_PROGRAM, &actions, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start the server");
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        err_ = ::fdopen(fds[0], "r");
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::fclose(err_);
    }
    // The next line the program logs (without its time stamp), or "" at
    // the end of its output.
    std::string Line() {
        char buffer[4096];
        if (!std::fgets(buffer, sizeof buffer, err_)) return {};
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        const std::size_t space = line.find(' ');
        return line[0] == '2' && space != std::string::npos ? line.substr(space + 1) : line;
    }
    void Signal(int signal) { ::kill(pid_, signal); }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE *err_ = nullptr;
};

std::filesystem::path WriteSeedFile(const std::filesystem::path &dir) {
    return WriteSeed(dir, {{"ano", SyntheticWord(0, 30)}, {"ne", SyntheticWord(1, 30)}});
}

TEST(ServerProgram, StartsAnswersAndStopsOnSigterm) {
    TempDir dir;
    const auto data = dir.Path() / "data";
    Process server({"--listen", "127.0.0.1", "--port", "0", "--data", data.string(), "--seed",
                    WriteSeedFile(dir.Path()).string()});
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
    std::ofstream(dir.Path() / "data" / "vocabulary.tsv") << "something else\n";
    Process p({"--port", "0", "--data", (dir.Path() / "data").string()});
    EXPECT_EQ(p.Line(), "error: " + (dir.Path() / "data" / "vocabulary.tsv").string() +
                            ", line 1: not a vocabulary file (expected \"tessary-vocabulary 1\")");
    EXPECT_EQ(p.Wait(), 1);
}

}  // namespace
}  // namespace tessary::test
