// Flood run on loopback: one address (127.0.0.2) opens 1,000 connections
// at once, holds them a moment and closes them, round after round, against
// a server in this process with the default per-address limits, while
// another address (127.0.0.3) sends a "PING" every 2 ms. Reports that
// client's "PING" round trips without the flood and during it (and apart,
// those sent while the flood connects and while it closes), and how many
// of the flood's connections were refused.
//
// On loopback the flood's own work (its connects, and the kernel's work for
// them, done on its thread) takes the same two cores as the server; an
// attacker elsewhere spends its own. The flood thread runs at --flood-nice
// (default 19, the lowest priority), so that what is measured is the
// server's work for the flood; --flood-nice 0 makes it compete as an equal.
//
//   tessary-flood-run [--connections N] [--rounds N] [--server-threads N] [--max-sessions-per-address N]
//                     [--flood-nice N]
//
// --max-sessions-per-address 0 is the server without the limit, as it was.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "head_codec.h"
#include "log.h"
#include "server.h"
#include "vocabulary.h"

namespace tessary {
namespace {

using Clock = std::chrono::steady_clock;

int Connect(std::uint16_t port, const char *from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The port is chosen by connect, not by bind: thousands of connections
    // from one address would otherwise run out of ports.
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        throw std::runtime_error(std::string("bind ") + from + ": " + std::strerror(errno));
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    return fd;
}

bool ReadAll(int fd, std::uint8_t *bytes, std::size_t count) {
    for (std::size_t got = 0; got < count;) {
        const ssize_t n = ::recv(fd, bytes + got, count - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// One "PING" and its "PONG"; the round trip in milliseconds.
double Ping(int fd, std::int32_t number) {
    const auto packet = packet::Encode(kHeadCodec, "PING", number, "bystander");
    const auto sent = Clock::now();
    if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size()))
        throw std::runtime_error("the bystander's PING was not sent");
    std::vector<std::uint8_t> answer(packet.size());
    if (!ReadAll(fd, answer.data(), answer.size()) || answer != packet::Encode(kHeadCodec, "PONG", number, "bystander"))
        throw std::runtime_error("the bystander's PING went unanswered");
    return std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size())))];
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Run(int connections, int rounds, int serverThreads, std::size_t maxSessions, int floodNice) {
    RaiseDescriptorLimit();
    const auto dir = std::filesystem::temp_directory_path() / ("tessary-flood-run-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::atomic<std::size_t> loggedRefusals{0};
    Log log([&](std::string_view line) {
        if (line.find("refused:") != std::string_view::npos) ++loggedRefusals;
    }, false);
    auto vocabulary = Vocabulary::Open(dir, {});
    asio::io_context io;
    AdmissionRules rules;
    rules.maxSessionsPerAddress = maxSessions;
    Server server(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), *vocabulary, log, {}, 0,
                  rules);
    const std::size_t kept = maxSessions == 0 ? static_cast<std::size_t>(connections) : maxSessions;
    const std::uint16_t port = server.LocalEndpoint().port();
    std::vector<std::thread> threads;
    for (int i = 0; i < serverThreads; ++i) threads.emplace_back([&] { io.run(); });

    const int bystander = Connect(port, "127.0.0.3");
    std::int32_t number = 0;
    // A PING every 2 ms until stop is set, the round trips in out, the
    // times they were sent in sentAt.
    std::vector<Clock::time_point> sentAt;
    auto pings = [&](std::vector<double> &out, const std::atomic<bool> &stop, std::size_t atLeast) {
        while (!stop || out.size() < atLeast) {
            sentAt.push_back(Clock::now());
            out.push_back(Ping(bystander, number++));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    std::vector<double> idle, flooded;
    const std::atomic<bool> stopped{true};
    pings(idle, stopped, 1000);
    sentAt.clear();

    std::atomic<bool> floodOver{false};
    std::size_t opened = 0, refused = 0;
    std::string floodError;
    // Of each round: when its connects began, and when its closes began;
    // written by the flood, read after it is over.
    std::vector<Clock::time_point> connecting, closing;
    const auto floodStarted = Clock::now();
    const double cpuBefore = CpuSeconds();
    std::thread flood([&] {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), floodNice);
        try {
            for (int round = 0; round < rounds; ++round) {
                std::vector<int> fds;
                connecting.push_back(Clock::now());
                for (int i = 0; i < connections; ++i) fds.push_back(Connect(port, "127.0.0.2"));
                opened += fds.size();
                // The refused are told so at once; the others hear nothing.
                std::vector<pollfd> polls;
                for (int fd : fds) polls.push_back({fd, POLLIN, 0});
                const auto until = Clock::now() + std::chrono::seconds(2);
                std::size_t told = 0;
                while (told + kept < fds.size() && Clock::now() < until) {
                    ::poll(polls.data(), polls.size(), 10);
                    told = static_cast<std::size_t>(
                        std::count_if(polls.begin(), polls.end(), [](const pollfd &p) { return p.revents & POLLIN; }));
                }
                refused += told;
                closing.push_back(Clock::now());
                for (int fd : fds) ::close(fd);
                // The next round starts once the server has seen these go.
                for (const auto settle = Clock::now() + std::chrono::seconds(5);
                     server.Admitted().Sessions() > 1 && Clock::now() < settle;)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } catch (const std::exception &e) {
            floodError = e.what();
        }
        floodOver = true;
    });
    pings(flooded, floodOver, 0);
    flood.join();
    const double floodSeconds = std::chrono::duration<double>(Clock::now() - floodStarted).count();
    const double cpu = CpuSeconds() - cpuBefore;
    ::close(bystander);
    server.Stop();
    io.stop();
    for (auto &t : threads) t.join();
    std::filesystem::remove_all(dir);
    if (!floodError.empty()) {
        std::cerr << "tessary-flood-run: the flood failed: " << floodError << "\n";
        return 1;
    }

    std::printf("server threads %d, sessions per address %zu, flood at nice %d; 127.0.0.2 opened %zu connections in %d rounds of %d "
                "(%.1f s, CPU of both ends %.0f us a connection), %zu refused, %zu refusal lines logged\n",
                serverThreads, maxSessions, floodNice, opened, rounds, connections, floodSeconds,
                1e6 * cpu / static_cast<double>(std::max<std::size_t>(opened, 1)), refused, loggedRefusals.load());
    std::printf("PING of 127.0.0.3, idle:        %zu, median %.3f ms, p99 %.3f ms, max %.3f ms\n", idle.size(),
                Percentile(idle, 50), Percentile(idle, 99), Percentile(idle, 100));
    std::printf("PING of 127.0.0.3, during flood: %zu, median %.3f ms, p99 %.3f ms, max %.3f ms\n", flooded.size(),
                Percentile(flooded, 50), Percentile(flooded, 99), Percentile(flooded, 100));
    const bool ok = Percentile(flooded, 99) <= 5.0 && refused == opened - static_cast<std::size_t>(rounds) * kept;
    // Which part of a round the slow round trips fall in: from the first
    // connect to the first close, or from there to the next round.
    std::vector<double> whileConnecting, whileClosing;
    for (std::size_t i = 0; i < flooded.size(); ++i) {
        const auto round = std::upper_bound(connecting.begin(), connecting.end(), sentAt[i]) - connecting.begin() - 1;
        if (round < 0) continue;
        const auto r = static_cast<std::size_t>(round);
        (r >= closing.size() || sentAt[i] < closing[r] ? whileConnecting : whileClosing).push_back(flooded[i]);
    }
    std::printf("  while connecting: %zu, p99 %.3f ms, max %.3f ms; while closing: %zu, p99 %.3f ms, max %.3f ms\n",
                whileConnecting.size(), Percentile(whileConnecting, 99), Percentile(whileConnecting, 100),
                whileClosing.size(), Percentile(whileClosing, 99), Percentile(whileClosing, 100));
    std::printf("%s\n", ok ? "PASS: p99 within 5 ms, every connection past the limit refused" : "FAIL");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace tessary

int main(int argc, char **argv) {
    int connections = 1000;
    int rounds = 5;
    int serverThreads = 2;
    std::size_t maxSessions = 32;
    int floodNice = 19;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (a == "--connections") connections = std::clamp(v, 33, 10000);
        else if (a == "--rounds") rounds = std::clamp(v, 1, 100);
        else if (a == "--server-threads") serverThreads = std::clamp(v, 1, 16);
        else if (a == "--flood-nice") floodNice = std::clamp(v, 0, 19);
        else if (a == "--max-sessions-per-address") maxSessions = static_cast<std::size_t>(std::clamp(v, 0, 100000));
        else {
            std::cerr << "usage: tessary-flood-run [--connections N] [--rounds N] [--server-threads N] "
                         "[--max-sessions-per-address N] [--flood-nice N]\n";
            return 2;
        }
    }
    try {
        return tessary::Run(connections, rounds, serverThreads, maxSessions, floodNice);
    } catch (const std::exception &e) {
        std::cerr << "tessary-flood-run: " << e.what() << "\n";
        return 1;
    }
}
