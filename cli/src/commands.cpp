#include "commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "packet/drain.h"
#include "packet/message_types.h"
#include "vantrel.h"

namespace tessary::cli {

namespace {

namespace M = mdlMSGConst;

using Json = nlohmann::ordered_json;

void Out(const std::string &line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Error(const std::string &line) { Console::Instance().Line("tessary-cli: " + line); }

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(AsLines(text));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The capture host: the library's timer and notifications on this thread's
// loop below.
struct CaptureLoop {
    struct Timer {
        std::uint32_t id = 0;
        Clock::duration period{};
        VantrelTimerProc proc = nullptr;
        Clock::time_point next{};
    };
    std::optional<Timer> timer;
    std::uint32_t lastId = 0;
    std::deque<std::int32_t> notes;

    static std::uint32_t SetTimer(void *context, std::int32_t periodMs, VantrelTimerProc proc) {
        auto *loop = static_cast<CaptureLoop *>(context);
        const Clock::duration period = std::chrono::milliseconds(periodMs);
        loop->timer = Timer{++loop->lastId, period, proc, Clock::now() + period};
        return loop->lastId;
    }
    static void KillTimer(void *context, std::uint32_t id) {
        auto *loop = static_cast<CaptureLoop *>(context);
        if (loop->timer && loop->timer->id == id) loop->timer.reset();
    }
    static void PostNotify(void *context, std::int32_t code) { static_cast<CaptureLoop *>(context)->notes.push_back(code); }
};

// The window's drain, with the library linked: every float waiting leaves.
void Drain(Connection &c, std::vector<std::uint8_t> &buffer, Result &r) {
    const Drained drained = DrainPackets({&GetParam, Codec()}, GetBufLen(), buffer,
                                         [&](std::span<const std::uint8_t> packet) { c.Send(packet); });
    r.dataPackets += drained.packets;
    r.floats += drained.floats;
}

}  // namespace

int Listen(const ListenOptions &listen, const RunOptions &options, Report &report) {
    CaptureLoop loop;
    const VantrelHost host{&loop, &CaptureLoop::SetTimer, &CaptureLoop::KillTimer, &CaptureLoop::PostNotify};
    if (InitClient(&host, kTickMs, kNumCep, kWindowLength, kFrameShift, listen.seconds * 1000) != 0) {
        Error("the library cannot set up the capture");
        return 1;
    }
    Result r;
    r.expected = listen.expected;
    std::vector<std::uint8_t> bufData;
    std::unique_ptr<Connection> c;
    try {
        c = std::make_unique<Connection>(options.connection, 0);
    } catch (const Unreachable &e) {
        Error(e.what());
        DeallocEnv();
        return report.Finish(true);
    }
    const bool terminal = ::isatty(0) != 0;
    bool watchInput = true;
    int status = -1;
    try {
        if (StartRecord() != 0) {
            Error("cannot start recording: no usable sound card input, or VANTREL_CAPTURE_DEVICE / "
                  "VANTREL_CAPTURE_FILE names nothing usable");
            DeallocEnv();
            return 1;
        }
        if (terminal)
            Console::Instance().Line("Recording: speak, then press Enter (at most " + std::to_string(listen.seconds) +
                                     " s).");
        c->Send(UtteranceStart(Codec()));
        const Clock::time_point start = Clock::now();
        bool stop = false;
        while (!stop) {
            const Clock::time_point next = loop.timer ? loop.timer->next : Clock::now() + std::chrono::milliseconds(100);
            if (c->Pump(next, watchInput ? 0 : -1)) {
                char input[256];
                const ssize_t n = ::read(0, input, sizeof input);
                if (n <= 0) watchInput = false;  // no more input: record until the capture is full
                else if (std::memchr(input, '\n', static_cast<std::size_t>(n)) != nullptr) stop = true;
            }
            if (loop.timer && Clock::now() >= loop.timer->next) {
                loop.timer->next += loop.timer->period;
                loop.timer->proc();
            }
            while (!stop && !loop.notes.empty()) {
                const std::int32_t code = loop.notes.front();
                loop.notes.pop_front();
                if (code == VANTREL_NOTIFY_END || code == VANTREL_NOTIFY_DATA_FULL || code == VANTREL_NOTIFY_END_FULL)
                    stop = true;
                else
                    Drain(*c, bufData, r);
            }
        }
        // The stop action: the recording stops, what the library announced
        // before goes out, then "REST".
        StopRecord();
        const Clock::time_point stopAt = Clock::now();
        while (!loop.notes.empty()) {
            const std::int32_t code = loop.notes.front();
            loop.notes.pop_front();
            if (code == VANTREL_NOTIFY_DATA) Drain(*c, bufData, r);
        }
        r.audioMs = Ms(start, stopAt);
        FinishUtterance(*c, stopAt, listen.best, &r);
        if (!c->News().empty()) report.SetServerNews(c->News());
    } catch (const ExchangeFailed &e) {
        r.status = e.lost ? Status::ConnectionLost : Status::NoAnswer;
        r.error = e.what();
        Error(r.error);
    } catch (const ProtocolError &e) {
        Error(e.what());
        status = 2;
    }
    StopRecord();
    DeallocEnv();
    if (status == 2) return report.Finish(true);
    report.Add(std::move(r));
    return report.Finish(false);
}

int Ping(const ConnectionOptions &options, int count, std::chrono::milliseconds interval, bool json) {
    std::vector<double> trips;
    int sent = 0;
    try {
        Connection c(options, 0);
        for (int i = 1; i <= count; ++i) {
            // The window's text: the millisecond tick count, as a signed 32-bit number.
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const auto ticks = static_cast<std::int32_t>(static_cast<std::uint32_t>(
                static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000));
            const std::string text = std::to_string(ticks);
            const Clock::time_point sentAt = Clock::now();
            c.SendText(M::PING, 0, text);
            ++sent;
            const std::optional<Message> pong = c.PongOf(text, sentAt + c.Timeout());
            std::optional<double> trip;
            if (pong) {
                trip = Ms(sentAt, pong->at);
                trips.push_back(*trip);
            }
            if (json) {
                Out(nlohmann::ordered_json{{"type", "ping"}, {"seq", i}, {"rtt_ms", trip ? nlohmann::ordered_json(*trip) : nlohmann::ordered_json(nullptr)}}.dump());
            } else if (trip) {
                char line[160];
                std::snprintf(line, sizeof line, "PONG from %s: seq %d, %.3f ms", options.endpoint.Name().c_str(), i, *trip);
                Out(line);
            } else {
                Out("no PONG from " + options.endpoint.Name() + " for seq " + std::to_string(i) + " within the timeout");
            }
            if (i < count) c.Pump(sentAt + interval);
        }
    } catch (const RunEnded &e) {
        Error(e.what());
        return 2;
    } catch (const ExchangeFailed &e) {
        Error(e.what());
    }
    const auto stats = Summarise(trips);
    const int status = static_cast<int>(trips.size()) == count ? 0 : 1;
    if (json) {
        nlohmann::ordered_json summary = {{"type", "summary"}, {"schema", 1}, {"command", "ping"}, {"host", options.endpoint.host},
                        {"port", options.endpoint.port}, {"sent", sent}, {"answered", trips.size()},
                        {"rtt_ms", nullptr}, {"exit_status", status}};
        if (stats) {
            const auto [low, high] = std::minmax_element(trips.begin(), trips.end());
            summary["rtt_ms"] = {{"min", *low}, {"median", stats->median}, {"mean", stats->mean}, {"p95", stats->p95}, {"max", *high}};
        }
        Out(summary.dump());
    } else {
        std::string line = std::to_string(sent) + " sent, " + std::to_string(trips.size()) + " answered";
        if (stats) {
            const auto [low, high] = std::minmax_element(trips.begin(), trips.end());
            char text[160];
            std::snprintf(text, sizeof text, "; round trip min %.3f, median %.3f, mean %.3f, max %.3f ms", *low,
                          stats->median, stats->mean, *high);
            line += text;
        }
        Out(line);
    }
    return status;
}

int Ask(const ConnectionOptions &options, const std::string &command, const std::string &type,
        const std::string &text, bool json) {
    try {
        Connection c(options, 0);
        c.SendText(type, 0, text);
        const Clock::time_point sentAt = Clock::now();
        const Message answer = c.NextText(sentAt + c.Timeout(), type);
        if (json) {
            Out(nlohmann::ordered_json{{"type", "answer"}, {"schema", 1}, {"command", command}, {"text", answer.Text()},
                               {"lines", Lines(answer.Text())}, {"ms", Ms(sentAt, answer.at)}}
                    .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
        } else {
            Out(AsLines(answer.Text()));
        }
        return 0;
    } catch (const RunEnded &e) {
        Error(e.what());
        return 2;
    } catch (const ExchangeFailed &e) {
        Error(e.what());
        return 1;
    }
}

int Replay(const std::string &path, const ConnectionOptions &options, bool json) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Error("cannot read " + path + ": " + std::strerror(errno));
        return 2;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<std::uint8_t>> packets;
    ReceiveReassembly reader(Codec());
    const WalkResult read = reader.Arrive(bytes, [&](const ReceivedPacket &p) {
        packets.push_back(Frame(p.head.Type(), p.head.number, p.payload));
    });
    if (read == WalkResult::BadLength) {
        Error(path + " is no recorded session: a packet head with a bad length: " + DescribeBadHead(reader));
        return 2;
    }
    if (reader.Pending() > 0) {
        Error(path + " is no recorded session: it ends inside a packet (" + std::to_string(reader.Pending()) +
              " bytes left over)");
        return 2;
    }
    ConnectionOptions replayOptions = options;
    replayOptions.answerServer = false;  // the recorded answers are among the packets
    int asked = 0, answered = 0;
    try {
        Connection c(replayOptions, 0, false);
        for (const auto &packet : packets) {
            const Head head = ReadHead(packet.data());
            const std::string type(head.Type());
            const bool asks = type == M::REST || type == M::GETV || type == M::GETB || type == M::ADDW || type == M::PING;
            if (type == M::REST) c.DropTexts();
            c.Send(packet);
            if (!asks) continue;
            ++asked;
            const Clock::time_point sentAt = Clock::now();
            std::optional<Message> answer;
            try {
                if (type == M::PING)
                    answer = c.PongOf(Cp1250ToUtf8(std::span(packet).subspan(VANTREL_PACKET_HEAD_SIZE)), sentAt + c.Timeout());
                else
                    answer = c.NextText(sentAt + c.Timeout(), type);
            } catch (const ExchangeFailed &e) {
                if (e.lost) throw;
                Error(e.what());
            }
            if (!answer) {
                if (json) Out(nlohmann::ordered_json{{"type", "answer"}, {"after", type}, {"text", nullptr}, {"ms", nullptr}}.dump());
                continue;
            }
            ++answered;
            if (json) {
                Out(nlohmann::ordered_json{{"type", "answer"}, {"after", type}, {"text", answer->Text()}, {"ms", Ms(sentAt, answer->at)}}
                        .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
            } else {
                Out(type + ": " + Escape(AsLines(answer->Text())));
            }
        }
    } catch (const RunEnded &e) {
        Error(e.what());
        return 2;
    } catch (const ExchangeFailed &e) {
        Error(e.what());
    }
    const int status = answered == asked ? 0 : 1;
    if (json) {
        Out(nlohmann::ordered_json{{"type", "summary"}, {"schema", 1}, {"command", "replay"}, {"packets", packets.size()},
                           {"asked", asked}, {"answered", answered}, {"exit_status", status}}
                .dump());
    } else {
        Out(std::to_string(packets.size()) + " packets replayed, " + std::to_string(answered) + " of " +
            std::to_string(asked) + " requests answered");
    }
    return status;
}

bool ReadList(const std::string &path, std::vector<Item> *items, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = std::strerror(errno);
        return false;
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const std::size_t tab = line.find('\t');
        std::string file = line.substr(0, tab);
        std::string word = tab == std::string::npos ? "" : line.substr(tab + 1);
        while (!word.empty() && (word.back() == ' ' || word.back() == '\t')) word.pop_back();
        while (!word.empty() && (word.front() == ' ' || word.front() == '\t')) word.erase(0, 1);
        if (file.empty()) continue;
        if (std::filesystem::path(file).is_relative() && !folder.empty()) file = (folder / file).string();
        if (word.empty()) word = WordFromFileName(file);
        items->push_back({file, word});
    }
    return true;
}

}  // namespace tessary::cli
