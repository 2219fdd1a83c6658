// tessary-cli against peers that misbehave on loopback: one that never
// answers, one that sends a negative length, ones that close or reset the
// connection between answers, a port where nobody listens.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "cli_process.h"
#include "speech.h"
#include "test_client.h"

namespace tessary::cli::test {
namespace {

// A listener on 127.0.0.1 that serves each connection with the given
// behaviour on its own thread, until destroyed.
class Peer {
public:
    using Behaviour = std::function<void(int fd, const std::atomic<bool> &stop)>;

    explicit Peer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), size) != 0 || ::listen(listener_, 8) != 0)
            throw std::runtime_error("cannot listen");
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t Port() const { return port_; }

private:
    void Serve() {
        std::vector<std::thread> sessions;
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            sessions.emplace_back([this, fd] {
                behaviour_(fd, stop_);
                ::close(fd);
            });
        }
        for (auto &s : sessions) s.join();
    }

    Behaviour behaviour_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Reads whatever comes until the client closes or the peer stops; calls
// onBytes with the count read so far.
void Drink(int fd, const std::atomic<bool> &stop, const std::function<void(std::size_t)> &onBytes = {}) {
    std::size_t total = 0;
    char buffer[4096];
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        total += static_cast<std::size_t>(n);
        if (onBytes) onBytes(total);
    }
}

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override { WriteWav(file_, SpokenWord("ano")); }
    std::vector<std::string> Args(std::uint16_t port, std::vector<std::string> args) const {
        args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(port)});
        return args;
    }
    tessary::test::TempDir folder_;
    std::string file_ = (folder_.Path() / "ano.1.wav").string();
};

TEST_F(PeerTest, NoAnswerTimesOutPerUtteranceWithStatusOne) {
    Peer silent([](int fd, const std::atomic<bool> &stop) { Drink(fd, stop); });
    const Outcome run = RunCli(Args(silent.Port(), {"--fast", "--timeout", "0.5", "recognise", file_, file_}));
    EXPECT_EQ(run.status, 1);
    const std::string why = "no answer to REST within 0.5 s from 127.0.0.1:" + std::to_string(silent.Port());
    EXPECT_NE(run.err.find("tessary-cli: " + file_ + ": " + why), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("FAILED  " + file_ + ": " + why), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("2 utterances: 0 answered, 2 without answer"), std::string::npos) << run.out;
    EXPECT_LT(run.seconds, 10.0);  // two timeouts, never a hang
}

TEST_F(PeerTest, NegativeLengthEndsTheRunWithItsHeadShown) {
    Peer liar([](int fd, const std::atomic<bool> &stop) {
        bool sent = false;
        Drink(fd, stop, [&](std::size_t total) {
            if (sent || total < 12) return;
            sent = true;
            const auto head = tessary::test::Head("UMSG", 0, -5);
            if (::write(fd, head.data(), head.size()) < 0) return;
        });
    });
    const Outcome run = RunCli(Args(liar.Port(), {"--fast", "recognise", file_}));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("tessary-cli: 127.0.0.1:" + std::to_string(liar.Port()) +
                           " sent a packet head with a bad length: \"UMSG\" number 0 length -5 "
                           "(55 4D 53 47 00 00 00 00 FB FF FF FF)"),
              std::string::npos)
        << run.err;
    const Outcome ping = RunCli(Args(liar.Port(), {"ping", "--count", "1"}));
    EXPECT_EQ(ping.status, 2) << ping.err;
}

// Reads a connection's packets up to each "REST" (or other marker) in turn.
class RestReader {
public:
    RestReader(int fd, const std::atomic<bool> &stop) : fd_(fd), stop_(stop) {}
    // False when the client closed the connection or the peer stops.
    bool Next(const std::string &marker = std::string("REST\0\0\0\0\x02\0\0\0\r\n", 14)) {
        char buffer[4096];
        while (!stop_) {
            const std::size_t at = stream_.find(marker);
            if (at != std::string::npos) {
                stream_.erase(0, at + marker.size());
                return true;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) return false;
            stream_.append(buffer, static_cast<std::size_t>(n));
        }
        return false;
    }
    bool Answer() {
        const auto answer = tessary::test::Encode("UMSG", 0, "Recognised: ano\r\n");
        return ::write(fd_, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    }
    // The close that follows sends a reset rather than an orderly end.
    void ResetOnClose() {
        const linger now{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }

private:
    int fd_;
    const std::atomic<bool> &stop_;
    std::string stream_;
};

// Regression: a server that closes the connection after its answer failed
// the next utterance, which was sent on the closed connection, or (when the
// close came while the utterance was on its way) lost it to the reset.
TEST_F(PeerTest, AServerThatClosesAfterEachAnswerGetsAFreshConnection) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset after the answer" : "closed after the answer");
        Peer oneShot([reset](int fd, const std::atomic<bool> &stop) {
            RestReader rests(fd, stop);
            if (rests.Next() && rests.Answer() && reset) rests.ResetOnClose();
        });
        const Outcome run = RunCli(Args(oneShot.Port(), {"--fast", "recognise", file_, file_, file_}));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("3 utterances: 3 answered"), std::string::npos) << run.out;
    }
}

// An utterance is sent again once when its connection resets before the
// answer; when the new connection resets too, it is reported as lost, and
// the run goes on.
TEST_F(PeerTest, AnUtteranceIsSentAgainOnceWhenItsConnectionResetsBeforeTheAnswer) {
    std::atomic<int> connections{0};
    Peer flaky([&connections](int fd, const std::atomic<bool> &stop) {
        const int connection = ++connections;
        RestReader rests(fd, stop);
        if (connection == 1 && !(rests.Next() && rests.Answer())) return;
        if (connection <= 2) {
            if (rests.Next()) rests.ResetOnClose();  // the second utterance, twice
            return;
        }
        while (rests.Next() && rests.Answer()) {
        }
    });
    const std::string second = (folder_.Path() / "ano.2.wav").string();
    std::filesystem::copy_file(file_, second);
    const Outcome run = RunCli(Args(flaky.Port(), {"--fast", "--trace", "recognise", file_, second, file_}));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("3 utterances: 2 answered"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1 with the connection lost"), std::string::npos) << run.out;
    const std::string resent = second + ": 127.0.0.1:" + std::to_string(flaky.Port());
    const std::size_t at = run.err.find("! " + resent);
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_NE(run.err.find("; sent again on a new connection", at), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("sent again", run.err.find("sent again", at) + 1), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tessary-cli: " + resent), std::string::npos) << run.err;
    EXPECT_EQ(connections.load(), 3);
}

// An added word is never sent twice: the add may have happened.
TEST_F(PeerTest, AnAddedWordIsNotSentAgainWhenItsConnectionResets) {
    std::atomic<int> connections{0};
    Peer resetting([&connections](int fd, const std::atomic<bool> &stop) {
        ++connections;
        RestReader rests(fd, stop);
        if (rests.Next("ADDW") && rests.Answer() && rests.Next()) rests.ResetOnClose();
    });
    const Outcome run = RunCli(Args(resetting.Port(), {"--fast", "add-word", "ano", file_}));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err.find("sent again"), std::string::npos) << run.err;
    EXPECT_EQ(connections.load(), 1);
}

TEST_F(PeerTest, RefusedConnectionNamesHostAndPort) {
    std::uint16_t port = 0;
    {
        Peer gone([](int, const std::atomic<bool> &) {});
        port = gone.Port();
    }
    for (const std::vector<std::string> &command : {std::vector<std::string>{"recognise", file_},
                                                    std::vector<std::string>{"ping"},
                                                    std::vector<std::string>{"vocabulary"}}) {
        const Outcome run = RunCli(Args(port, command));
        EXPECT_EQ(run.status, 2) << command[0];
        EXPECT_NE(run.err.find("tessary-cli: cannot connect to 127.0.0.1:" + std::to_string(port) +
                               ": Connection refused"),
                  std::string::npos)
            << run.err;
    }
    // Usage errors.
    EXPECT_EQ(RunCli({"recognise"}).status, 2);
    EXPECT_EQ(RunCli({"--port", "0", "ping"}).status, 2);
    EXPECT_EQ(RunCli({"--fast", "--speed", "2", "recognise", file_}).status, 2);
    EXPECT_EQ(RunCli({"--concurrency", "2", "--record", (folder_.Path() / "r").string(), "recognise", file_}).status, 2);
    const Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("tessary-cli ") + TESSARY_VERSION + "\n");
}

}  // namespace
}  // namespace tessary::cli::test
