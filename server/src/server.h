// The TCP side: an acceptor and one session per connection, each session
// reading a head, then its payload, and keeping one write in flight with a
// queue behind it. Sessions run on strands of one io_context, which any
// number of threads may run; they share nothing but the vocabulary, the log
// and the counters. Utterances are matched on a thread pool of their own, so
// that a long match never holds up another session's packets.
#pragma once

#include <asio.hpp>
#include <memory>
#include <mutex>
#include <vector>

#include "conversation.h"
#include "log.h"
#include "vocabulary.h"

namespace tessary {

class Session;

class Server {
public:
    // Binds and listens at once; throws std::system_error when it cannot.
    // matchThreads threads match utterances (0: one per core).
    Server(asio::io_context &io, const asio::ip::tcp::endpoint &endpoint, Vocabulary &vocabulary, Log &log,
           unsigned matchThreads = 0);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }
    ServerStats &Stats() { return stats_; }

    // Stops accepting and closes every open session.
    void Stop();

private:
    void Accept();

    asio::io_context &io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    Vocabulary &vocabulary_;
    Log &log_;
    ServerStats stats_;
    asio::thread_pool matchers_;
    std::mutex sessionsMutex_;
    std::vector<std::weak_ptr<Session>> sessions_;
};

}  // namespace tessary
