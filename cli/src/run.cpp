#include "run.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "packet/drain.h"
#include "packet/message_types.h"

namespace tessary::cli {

namespace {

// Utterances from the reading thread to the sessions; a full queue holds the
// reader back.
class UtteranceQueue {
public:
    explicit UtteranceQueue(std::size_t capacity) : capacity_(capacity) {}

    // False when the run was stopped.
    bool Push(Utterance u, const std::atomic<bool> &stop) {
        std::unique_lock lock(mutex_);
        while (items_.size() >= capacity_) {
            if (stop.load()) return false;
            changed_.wait_for(lock, std::chrono::milliseconds(100));
        }
        items_.push_back(std::move(u));
        changed_.notify_all();
        return true;
    }
    void Close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    std::optional<Utterance> Pop(const std::atomic<bool> &stop) {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (stop.load()) return std::nullopt;
            if (!items_.empty()) {
                Utterance u = std::move(items_.front());
                items_.pop_front();
                changed_.notify_all();
                return u;
            }
            if (closed_) return std::nullopt;
            changed_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Utterance> items_;
    std::size_t capacity_;
    bool closed_ = false;
};

// The first fatal error of any session ends the run.
class Fatal {
public:
    void Set(const std::string &message) {
        std::lock_guard lock(mutex_);
        if (stop.exchange(true)) return;
        Console::Instance().Line("tessary-cli: " + message);
    }
    std::atomic<bool> stop{false};

private:
    std::mutex mutex_;
};

Clock::time_point TickTime(Clock::time_point start, std::int32_t tick, double speed) {
    const auto ms = std::chrono::duration<double, std::milli>(tick * static_cast<double>(kTickMs) / speed);
    return start + std::chrono::duration_cast<Clock::duration>(ms);
}

Result ResultFor(const Utterance &u, int session) {
    Result r;
    r.index = u.index;
    r.file = u.file;
    r.expected = u.expected;
    r.audioMs = u.AudioMs();
    r.session = session;
    return r;
}

void Session(int session, UtteranceQueue &queue, const RunOptions &options, Report &report, Fatal &fatal) {
    ConnectionOptions connectionOptions = options.connection;
    connectionOptions.stop = &fatal.stop;
    std::unique_ptr<Connection> connection;
    // Recognition changes nothing on the server, so an utterance whose
    // connection went before any byte of its answer came (a server that
    // closes idle or finished sessions may close it just as the utterance
    // begins) is sent once more on a fresh connection. An added word is
    // never sent twice: the add may have happened.
    const bool mayResend = options.addWord.empty();
    while (std::optional<Utterance> u = queue.Pop(fatal.stop)) {
        Result r = ResultFor(*u, session);
        for (int attempt = 1;; ++attempt) {
            try {
                if (connection && !connection->Alive()) connection.reset();
                if (!connection) connection = std::make_unique<Connection>(connectionOptions, session);
                if (!options.addWord.empty()) {
                    connection->SendText(mdlMSGConst::ADDW, 0, options.addWord);
                    r.prompt = connection->NextText(Clock::now() + connection->Timeout(), mdlMSGConst::ADDW).Text();
                }
                StreamUtterance(*connection, *u, options, &r);
                if (!connection->News().empty()) report.SetServerNews(connection->News());
            } catch (const ExchangeFailed &e) {
                // A late answer must not pass for the next utterance's.
                connection.reset();
                if (e.lost && !e.answerBegun && mayResend && attempt == 1) {
                    if (connectionOptions.trace)
                        connectionOptions.trace->Note(session, u->file + ": " + e.what() + "; sent again on a new connection");
                    r = ResultFor(*u, session);
                    continue;
                }
                r.status = e.lost ? Status::ConnectionLost : Status::NoAnswer;
                r.error = e.what();
                Console::Instance().Line("tessary-cli: " + u->file + ": " + r.error);
            } catch (const RunEnded &e) {
                fatal.Set(e.what());
                return;
            } catch (const Stopped &) {
                return;
            } catch (const std::exception &e) {
                fatal.Set(u->file + ": " + e.what());
                return;
            }
            break;
        }
        report.Add(std::move(r));
    }
}

}  // namespace

void StreamUtterance(Connection &c, const Utterance &u, const RunOptions &options, Result *r) {
    c.Send(UtteranceStart(Codec()));
    const Clock::time_point start = Clock::now();
    for (const DataPacket &p : u.packets) {
        if (options.speed) c.Pump(TickTime(start, p.tick, *options.speed));
        std::vector<std::uint8_t> bytes = p.bytes;
        Renumber(bytes.data(), c.NextDataNumber());
        c.Send(bytes);
        ++r->dataPackets;
        r->floats += ReadHead(bytes.data()).length / 4;
    }
    Clock::time_point audioEnd = Clock::now();
    if (options.speed) {
        // The tick that finds the last sample, even when it brings no frame.
        c.Pump(TickTime(start, u.ticks, *options.speed));
        audioEnd = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double, std::milli>(u.AudioMs() / *options.speed));
    }
    FinishUtterance(c, audioEnd, options.best, r);
}

void FinishUtterance(Connection &c, Clock::time_point audioEnd, int best, Result *r) {
    c.DropTexts();
    // What the server sent before "REST" is no part of the answer.
    const std::uint64_t receivedAtRest = c.Received();
    try {
        c.Send(UtteranceEnd(Codec()));
        const Clock::time_point restAt = Clock::now();
        const Message answer = c.NextText(restAt + c.Timeout(), mdlMSGConst::REST);
        r->status = Status::Answered;
        r->answer = answer.Text();
        r->latencyMs = Ms(audioEnd, answer.at);
        r->restToAnswerMs = Ms(restAt, answer.at);
        if (best > 0) {
            c.SendText(mdlMSGConst::GETB, 0, std::to_string(best));
            r->best = c.NextText(Clock::now() + c.Timeout(), mdlMSGConst::GETB).Text();
        }
    } catch (ExchangeFailed &e) {
        e.answerBegun = c.Received() > receivedAtRest;
        throw;
    }
}

bool RunList(const std::vector<Item> &items, const RunOptions &options, Report &report) {
    Fatal fatal;
    const auto sessions = static_cast<std::size_t>(std::max(1, options.concurrency));
    UtteranceQueue queue(2 * sessions + 2);
    std::vector<std::thread> threads;
    threads.reserve(std::min(sessions, items.size()));
    for (std::size_t s = 0; s < sessions && s < items.size(); ++s)
        threads.emplace_back(Session, static_cast<int>(s), std::ref(queue), std::cref(options), std::ref(report),
                             std::ref(fatal));

    // The library's analysis runs on this thread only.
    for (std::size_t i = 0; i < items.size() && !fatal.stop.load(); ++i) {
        const Item &item = items[i];
        bool cut = false;
        std::string error;
        const auto samples = ReadAudio(item.file, &cut, &error);
        if (!samples) {
            Result r;
            r.index = i;
            r.file = item.file;
            r.expected = item.expected;
            r.status = Status::Unreadable;
            r.error = "cannot read " + item.file + ": " + error;
            Console::Instance().Line("tessary-cli: " + r.error);
            report.Add(std::move(r));
            continue;
        }
        if (cut) Console::Instance().Line("tessary-cli: " + item.file + " is longer than 20 s: only its first 20 s are sent");
        Utterance u;
        u.index = i;
        u.file = item.file;
        u.expected = item.expected;
        u.cut = cut;
        Analyse(*samples, &u);
        if (!queue.Push(std::move(u), fatal.stop)) break;
    }
    queue.Close();
    for (auto &t : threads) t.join();
    return fatal.stop.load();
}

}  // namespace tessary::cli
