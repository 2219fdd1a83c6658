// Connections the server has refused, after their one answer: each is kept
// until its client closes it or the linger is over, what the client still
// sends read and dropped, so that the server's close is an orderly end of
// the stream and not a reset, which could reach the client before the
// answer that says why.
//
// One timer serves them all, and each tick visits at most visitsPerTick of
// them (a read that does not wait, and the close of those that are done),
// the next tick the next ones. No refused connection waits on the reactor:
// a thousand of them closed by their clients at once are a few dozen closes
// a tick, not a thousand completions queued ahead of every other session's
// packets.
//
// Add may be called from any thread; the ticks run on a strand of their own.
// What is held when the last reference goes is closed then.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

namespace tessary {

class RefusedConnections : public std::enable_shared_from_this<RefusedConnections> {
public:
    using Clock = std::chrono::steady_clock;

    struct Pace {
        std::chrono::milliseconds linger{1000};  // the longest a connection is held
        std::chrono::milliseconds tick{5};
        std::size_t visitsPerTick = 64;
    };

    static std::shared_ptr<RefusedConnections> Create(const asio::any_io_executor &executor, const Pace &pace);
    static std::shared_ptr<RefusedConnections> Create(const asio::any_io_executor &executor) {
        return Create(executor, Pace{});
    }
    ~RefusedConnections();
    RefusedConnections(const RefusedConnections &) = delete;
    RefusedConnections &operator=(const RefusedConnections &) = delete;

    // Takes over a connection whose answer is written and whose sending
    // side is shut down; the socket is left closed.
    void Add(asio::ip::tcp::socket &&socket);
    // Closes every connection held (the server stops).
    void CloseAll();
    // Connections held now (with those a tick is visiting).
    std::size_t Held() const;

private:
    struct Entry {
        int fd;
        Clock::time_point until;
    };

    RefusedConnections(const asio::any_io_executor &executor, const Pace &pace);
    void Tick();
    // Reads and drops what the client sent; whether the connection is done
    // with: closed by the client, failed, or past its time.
    static bool Done(int fd, Clock::time_point until, Clock::time_point now);

    const Pace pace_;
    asio::steady_timer timer_;  // on a strand: the ticks never overlap
    mutable std::mutex mutex_;
    std::deque<Entry> held_;  // the next to visit first
    std::size_t visiting_ = 0;  // taken out of held_ by the tick under way, still held
    bool ticking_ = false;
};

}  // namespace tessary
