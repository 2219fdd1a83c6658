// Load run on loopback: many clients at once, each streaming utterances at
// the client's real-time pace (a "DATA" packet of 37 frames every 370 ms
// after "SRCG", then "REST"), against a server in this process. Reports the
// time from "REST" to the answer and checks that no packet was lost and
// every answer names the word that was said. Bounded in count and time.
//
//   tessary-load-run [--clients N] [--utterances N] [--server-threads N] [--timeout S]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "conversation.h"
#include "packet/code_page.h"
#include "frame_features.h"
#include "head_codec.h"
#include "log.h"
#include "server.h"
#include "speech.h"
#include "vocabulary.h"

namespace tessary {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kPeriodMs = 370;
constexpr std::size_t kFloatsPerTick = 37 * kFrameFloats;

struct Spoken {
    std::string word;  // Windows-1250
    std::vector<float> floats;
};

struct Totals {
    int clientsDone = 0;
    int answers = 0;
    int right = 0;
    int failures = 0;
    std::uint64_t dataSent = 0;
    std::vector<double> latenciesMs;
};

class LoadClient : public std::enable_shared_from_this<LoadClient> {
public:
    LoadClient(asio::io_context &io, tcp::endpoint server, const std::vector<Spoken> &words, int id,
               int utterances, Totals &totals)
        : socket_(io), timer_(io), server_(server), words_(words), id_(id), utterancesLeft_(utterances),
          totals_(totals), random_(static_cast<unsigned>(id)) {}

    void Start() {
        socket_.async_connect(server_, [self = shared_from_this()](const asio::error_code &ec) {
            if (ec) return self->Fail("connect: " + ec.message());
            self->socket_.set_option(tcp::no_delay(true));
            self->Send("NEWS", 0, "news_demo");
            self->ReadHead();
        });
    }

private:
    void Fail(const std::string &why) {
        if (done_) return;
        done_ = true;
        ++totals_.failures;
        ++totals_.clientsDone;
        std::fprintf(stderr, "client %d: %s\n", id_, why.c_str());
        asio::error_code ignored;
        socket_.close(ignored);
        timer_.cancel();
    }

    void Send(const char *type, std::int32_t number, std::string payload) {
        OutPacket p{type, number, std::move(payload)};
        writes_.push_back(EncodePacket(p));
        if (writes_.size() == 1) WriteNext();
    }

    void SendData(std::span<const float> floats) {
        std::string payload(floats.size() * 4, '\0');
        for (std::size_t i = 0; i < floats.size(); ++i) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &floats[i], 4);
            vantrel::StoreLittleEndian32(reinterpret_cast<std::uint8_t *>(payload.data()) + 4 * i, bits);
        }
        Send("DATA", dataNumber_++, std::move(payload));
        ++totals_.dataSent;
    }

    void WriteNext() {
        asio::async_write(socket_, asio::buffer(writes_.front()),
                          [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                              if (ec) return self->Fail("write: " + ec.message());
                              self->writes_.pop_front();
                              if (!self->writes_.empty()) self->WriteNext();
                          });
    }

    void ReadHead() {
        asio::async_read(socket_, asio::buffer(head_), [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
            if (ec) {
                if (!self->done_) self->Fail("read: " + ec.message());
                return;
            }
            const packet::DecodedHead decoded = packet::DecodeHead(kHeadCodec, self->head_);
            if (!decoded.Ok()) return self->Fail("bad length from the server");
            const packet::Head &h = decoded.head;
            self->type_.assign(h.type.data(), 4);
            self->body_.resize(static_cast<std::size_t>(h.length));
            asio::async_read(self->socket_, asio::buffer(self->body_),
                             [self](const asio::error_code &ec2, std::size_t) {
                                 if (ec2) return self->Fail("read: " + ec2.message());
                                 self->OnPacket();
                                 if (!self->done_) self->ReadHead();
                             });
        });
    }

    void OnPacket() {
        if (type_ == "NEWS") {
            Send("OSVF", 1, "demo");
            // Clients start spread over one period, as people would.
            After(std::uniform_int_distribution<int>(0, kPeriodMs)(random_), [this] { StartUtterance(); });
        } else if (type_ == "UMSG") {
            if (!waitingAnswer_) return Fail("answer with no REST: " + body_);
            waitingAnswer_ = false;
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - restSent_).count();
            totals_.latenciesMs.push_back(ms);
            ++totals_.answers;
            const std::string expected = "Recognised: " + current_->word + "\r\n";
            if (body_ == expected) ++totals_.right;
            if (--utterancesLeft_ == 0) {
                done_ = true;
                ++totals_.clientsDone;
                asio::error_code ignored;
                socket_.shutdown(tcp::socket::shutdown_both, ignored);
                socket_.close(ignored);
                return;
            }
            After(std::uniform_int_distribution<int>(100, 400)(random_), [this] { StartUtterance(); });
        }
    }

    template <typename F>
    void After(int ms, F f) {
        timer_.expires_after(std::chrono::milliseconds(ms));
        timer_.async_wait([self = shared_from_this(), f](const asio::error_code &ec) {
            if (!ec && !self->done_) f();
        });
    }

    void StartUtterance() {
        current_ = &words_[static_cast<std::size_t>(id_ + utterancesLeft_) % words_.size()];
        sentFloats_ = 0;
        Send("SRCG", 0, "");
        After(kPeriodMs, [this] { Tick(); });
    }

    void Tick() {
        const std::size_t n = std::min(kFloatsPerTick, current_->floats.size() - sentFloats_);
        SendData(std::span<const float>(current_->floats.data() + sentFloats_, n));
        sentFloats_ += n;
        if (sentFloats_ < current_->floats.size()) return After(kPeriodMs, [this] { Tick(); });
        restSent_ = Clock::now();
        waitingAnswer_ = true;
        Send("REST", 0, "\r\n");
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    tcp::endpoint server_;
    const std::vector<Spoken> &words_;
    int id_;
    int utterancesLeft_;
    Totals &totals_;
    std::mt19937 random_;
    std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> head_{};
    std::string type_;
    std::string body_;
    std::deque<std::vector<std::uint8_t>> writes_;
    std::int32_t dataNumber_ = 0;
    const Spoken *current_ = nullptr;
    std::size_t sentFloats_ = 0;
    bool waitingAnswer_ = false;
    bool done_ = false;
    Clock::time_point restSent_;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size())));
    return v[i];
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Run(int clients, int utterances, int serverThreads, int timeoutSeconds) {
    // Held-out renditions of the seed words, with 300 ms of silence around.
    std::fprintf(stderr, "making the utterances with espeak-ng...\n");
    std::vector<Spoken> words;
    for (const char *w : {"nula", "jedna", "dva", "tři", "čtyři", "pět", "šest", "sedm", "osm", "devět",
                          "chaloupka", "ano", "ne"}) {
        words.push_back({*Utf8ToCp1250(w), AnalyzeRecording(Pad(Speak(w, Voice{"cs", 150, 40}), 2400, 2400))});
    }

    const auto dir = std::filesystem::temp_directory_path() / ("tessary-load-run-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    Log log([](std::string_view line) {
        if (line.find("error") != std::string_view::npos || line.find("skipped") != std::string_view::npos ||
            line.find("repeated") != std::string_view::npos)
            std::fprintf(stderr, "server: %.*s\n", static_cast<int>(line.size()), line.data());
    }, false);
    auto vocabulary = Vocabulary::Open(dir, TESSARY_SEED_FILE);
    asio::io_context serverIo;
    Server server(serverIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), *vocabulary, log);
    std::vector<std::thread> serverThreadsList;
    for (int i = 0; i < serverThreads; ++i) serverThreadsList.emplace_back([&] { serverIo.run(); });

    asio::io_context io;
    Totals totals;
    const double cpuBefore = CpuSeconds();
    const auto started = Clock::now();
    for (int i = 0; i < clients; ++i)
        std::make_shared<LoadClient>(io, server.LocalEndpoint(), words, i, utterances, totals)->Start();
    asio::steady_timer deadline(io);
    bool timedOut = false;
    deadline.expires_after(std::chrono::seconds(timeoutSeconds));
    deadline.async_wait([&](const asio::error_code &ec) {
        if (ec) return;
        timedOut = true;
        io.stop();
    });
    // Run until every client has finished or the deadline passes.
    while (!timedOut && totals.clientsDone < clients && io.run_one()) {
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const double cpu = CpuSeconds() - cpuBefore;

    server.Stop();
    serverIo.stop();
    for (auto &t : serverThreadsList) t.join();
    std::filesystem::remove_all(dir);

    const auto &stats = server.Stats();
    const int expected = clients * utterances;
    std::printf("clients %d, utterances %d each, server threads %d, %.1f s, CPU %.2f s (%.0f %% of one core)\n",
                clients, utterances, serverThreads, seconds, cpu, 100.0 * cpu / seconds);
    std::printf("DATA packets sent %llu, received %llu, numbers skipped %llu, repeated %llu\n",
                static_cast<unsigned long long>(totals.dataSent),
                static_cast<unsigned long long>(stats.dataPackets.load()),
                static_cast<unsigned long long>(stats.dataNumbersSkipped.load()),
                static_cast<unsigned long long>(stats.dataNumbersRepeated.load()));
    std::printf("answers %d of %d, right %d, client failures %d%s\n", totals.answers, expected, totals.right,
                totals.failures, timedOut ? ", TIMED OUT" : "");
    std::printf("REST to answer: median %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                Percentile(totals.latenciesMs, 50), Percentile(totals.latenciesMs, 90),
                Percentile(totals.latenciesMs, 99), Percentile(totals.latenciesMs, 100));
    const bool ok = !timedOut && totals.failures == 0 && totals.answers == expected &&
                    stats.dataPackets.load() == totals.dataSent && stats.dataNumbersSkipped.load() == 0 &&
                    stats.dataNumbersRepeated.load() == 0 && Percentile(totals.latenciesMs, 99) < 100.0;
    std::printf("%s\n", ok ? "PASS: no packet lost, p99 under 100 ms" : "FAIL");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace tessary

int main(int argc, char **argv) {
    int clients = 200;
    int utterances = 3;
    int serverThreads = 2;
    int timeout = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (a == "--clients") clients = std::clamp(v, 1, 1000);
        else if (a == "--utterances") utterances = std::clamp(v, 1, 100);
        else if (a == "--server-threads") serverThreads = std::clamp(v, 1, 16);
        else if (a == "--timeout") timeout = std::clamp(v, 1, 600);
        else {
            std::cerr << "usage: tessary-load-run [--clients N] [--utterances N] [--server-threads N] [--timeout S]\n";
            return 2;
        }
    }
    try {
        return tessary::Run(clients, utterances, serverThreads, timeout);
    } catch (const std::exception &e) {
        std::cerr << "tessary-load-run: " << e.what() << "\n";
        return 1;
    }
}
