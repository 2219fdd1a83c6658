// Load run on loopback: many clients at once, each streaming utterances at
// the client's real-time pace (a "DATA" packet of 37 frames every 370 ms
// after "SRCG", then "REST"), against a server in this process. Reports the
// time from "REST" to the answer and checks that no packet was lost and
// every answer names the word that was said. Bounded in count and time.
//
// With --adds, measures adding words instead: the server's vocabulary file
// holds 1,000 words (or --words N) of two recordings each, spelled with the
// phone models;
// one client adds 50 words one after another (the time from "REST" to the
// answer of each add), then 4 clients add 50 words each at once while a
// fifth session sends a "PING" every millisecond (its round trips).
//
//   tessary-load-run [--clients N] [--utterances N] [--server-threads N] [--timeout S]
//   tessary-load-run --adds [--words N] [--server-threads N]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "conversation.h"
#include "speech_endpoints.h"
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

// Pseudo-words of Czech syllables, all different.
std::vector<std::string> InventedWords(int count, int salt) {
    static const char *kSyllables[] = {"ka", "lo", "mi", "ne", "po", "ru", "se", "ta", "vu", "zi", "bě", "do",
                                       "há", "ji", "ko", "le", "mů", "no", "pí", "ra", "sú", "to", "va", "ží"};
    constexpr int n = static_cast<int>(std::size(kSyllables));
    std::vector<std::string> words;
    for (int w = 0; static_cast<int>(words.size()) < count; ++w)
        words.push_back(*Utf8ToCp1250(std::string(kSyllables[(w + salt) % n]) + kSyllables[(w / n) % n] +
                                      kSyllables[(w / n / n + w) % n] + kSyllables[salt % n]));
    return words;
}

std::string Packet(const char *type, const std::string &payload) {
    const auto bytes = EncodePacket(OutPacket{type, 0, payload});
    return {bytes.begin(), bytes.end()};
}

// One whole packet from a blocking socket: its type and payload.
std::pair<std::string, std::string> ReadPacket(tcp::socket &s) {
    std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> head{};
    asio::read(s, asio::buffer(head));
    const packet::DecodedHead decoded = packet::DecodeHead(kHeadCodec, head);
    if (!decoded.Ok()) throw std::runtime_error("bad length from the server");
    std::string body(static_cast<std::size_t>(decoded.head.length), '\0');
    asio::read(s, asio::buffer(body));
    return {std::string(decoded.head.type.data(), 4), std::move(body)};
}

// Adds each of words with one recording, speech, over one connection; the
// times from "REST" to the answer in out. Throws when an add is refused.
void AddWords(std::uint16_t port, const std::vector<std::string> &words, const std::string &speech,
              std::vector<double> &out) {
    asio::io_context io;
    tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), port});
    s.set_option(tcp::no_delay(true));
    const std::string utterance = Packet("SRCG", "") + Packet("DATA", speech);
    const std::string rest = Packet("REST", "\r\n");
    for (const std::string &word : words) {
        asio::write(s, asio::buffer(Packet("ADDW", word)));
        if (const auto [type, text] = ReadPacket(s); text.rfind("Say the word", 0) != 0)
            throw std::runtime_error("ADDW answered: " + text);
        asio::write(s, asio::buffer(utterance));
        const auto start = Clock::now();
        asio::write(s, asio::buffer(rest));
        const auto [type, text] = ReadPacket(s);
        out.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (text.rfind("Added the word", 0) != 0) throw std::runtime_error("the add answered: " + text);
    }
}

int RunAdds(int startWords, int serverThreads) {
    std::fprintf(stderr, "making the recordings with espeak-ng...\n");
    std::vector<std::vector<float>> speech;
    for (const char *w : {"nula", "jedna", "chaloupka", "ano", "devět"}) {
        const std::vector<float> frames = AnalyzeRecording(Pad(Speak(w, Voice{"cs", 150, 40}), 2400, 2400));
        const Endpoints ends = DetectSpeech(frames);
        speech.emplace_back(frames.begin() + static_cast<std::ptrdiff_t>(ends.first * kFrameFloats),
                            frames.begin() + static_cast<std::ptrdiff_t>((ends.last + 1) * kFrameFloats));
    }
    const auto dir = std::filesystem::temp_directory_path() / ("tessary-add-run-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    {
        VocabularyState large;
        int k = 0;
        for (const std::string &name : InventedWords(startWords, 0)) {
            auto w = std::make_shared<Word>();
            w->name = name;
            for (int r = 0; r < 2; ++r) w->recordings.push_back(speech[static_cast<std::size_t>(k++) % speech.size()]);
            large.words.push_back(std::move(w));
        }
        std::ofstream(dir / "vocabulary.tsv") << SerializeVocabulary(large);
    }
    // On the disk before the measurement, so that its writing back does not
    // slow the adds' syncs.
    if (const int fd = ::open((dir / "vocabulary.tsv").c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    std::fprintf(stderr, "vocabulary file of %d words: %.1f MB; preparing it...\n", startWords,
                 static_cast<double>(std::filesystem::file_size(dir / "vocabulary.tsv")) / 1e6);
    auto vocabulary = Vocabulary::Open(dir, {}, LoadPhoneModelsFile(TESSARY_PHONES_FILE));
    vocabulary->SetBounds({.maxWords = 100000, .maxRecordedFrames = 100000000});
    Log log([](std::string_view line) {
        if (line.find("cannot") != std::string_view::npos || line.find("error") != std::string_view::npos)
            std::fprintf(stderr, "server: %.*s\n", static_cast<int>(line.size()), line.data());
    }, false);
    asio::io_context serverIo;
    AdmissionRules rules;
    rules.maxAddsPerMinute = 0;
    Server server(serverIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), *vocabulary, log, {}, 0, rules);
    std::vector<std::thread> serverThreadsList;
    for (int i = 0; i < serverThreads; ++i) serverThreadsList.emplace_back([&] { serverIo.run(); });
    const std::uint16_t port = server.LocalEndpoint().port();
    std::string payload;
    for (float f : speech[2]) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        for (int b = 0; b < 4; ++b) payload += static_cast<char>((bits >> (8 * b)) & 0xFF);
    }

    // One client alone.
    std::vector<double> alone;
    AddWords(port, InventedWords(50, 1), payload, alone);

    // Four at once, and a bystander's PING.
    std::vector<std::vector<double>> together(4);
    std::vector<std::thread> adders;
    std::atomic<int> adding{4};
    for (int c = 0; c < 4; ++c)
        adders.emplace_back([&, c] {
            try {
                AddWords(port, InventedWords(50, 2 + c), payload, together[static_cast<std::size_t>(c)]);
            } catch (const std::exception &e) {
                std::fprintf(stderr, "adder %d: %s\n", c, e.what());
            }
            --adding;
        });
    std::vector<double> pings;
    {
        asio::io_context io;
        tcp::socket s(io);
        s.connect({asio::ip::make_address("127.0.0.1"), port});
        s.set_option(tcp::no_delay(true));
        const std::string ping = Packet("PING", "12345");
        while (adding > 0) {
            const auto start = Clock::now();
            asio::write(s, asio::buffer(ping));
            ReadPacket(s);
            pings.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    for (auto &t : adders) t.join();
    std::vector<double> all;
    for (const auto &v : together) all.insert(all.end(), v.begin(), v.end());
    const std::size_t words = vocabulary->Size();

    server.Stop();
    serverIo.stop();
    for (auto &t : serverThreadsList) t.join();
    std::filesystem::remove_all(dir);

    std::printf("an add at %d words, one client, REST to answer: %zu adds, median %.2f ms, p99 %.2f ms\n",
                startWords, alone.size(), Percentile(alone, 50), Percentile(alone, 99));
    std::printf("4 clients adding at once, REST to answer: %zu adds, median %.2f ms, p99 %.2f ms\n", all.size(),
                Percentile(all, 50), Percentile(all, 99));
    std::printf("another session's PING while they add: %zu, median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                pings.size(), Percentile(pings, 50), Percentile(pings, 99), Percentile(pings, 100));
    const bool ok = words == static_cast<std::size_t>(startWords) + 250 && all.size() == 200;
    std::printf("%s (%zu words at the end)\n", ok ? "PASS: every add answered" : "FAIL", words);
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace tessary

int main(int argc, char **argv) {
    int clients = 200;
    int utterances = 3;
    int serverThreads = 2;
    int timeout = 120;
    int words = 1000;
    bool adds = false;
    if (argc > 1 && std::string(argv[1]) == "--adds") {
        adds = true;
        --argc;
        ++argv;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const int v = std::atoi(argv[i + 1]);
        if (a == "--clients") clients = std::clamp(v, 1, 1000);
        else if (a == "--utterances") utterances = std::clamp(v, 1, 100);
        else if (a == "--server-threads") serverThreads = std::clamp(v, 1, 16);
        else if (a == "--timeout") timeout = std::clamp(v, 1, 600);
        else if (a == "--words" && adds) words = std::clamp(v, 1, 20000);
        else {
            std::cerr << "usage: tessary-load-run [--clients N] [--utterances N] [--server-threads N] [--timeout S]\n"
                         "       tessary-load-run --adds [--words N] [--server-threads N]\n";
            return 2;
        }
    }
    try {
        if (adds) return tessary::RunAdds(words, serverThreads);
        return tessary::Run(clients, utterances, serverThreads, timeout);
    } catch (const std::exception &e) {
        std::cerr << "tessary-load-run: " << e.what() << "\n";
        return 1;
    }
}
