// The TCP side: an acceptor and one session per connection, each session
// reading a head, then its payload, and keeping one write in flight with a
// queue behind it. Sessions run on strands of one io_context, which any
// number of threads may run; they share nothing but the vocabulary, the log
// and the counters. Utterances are matched on a thread pool of their own, so
// that a long match never holds up another session's packets; recordings
// are added to the vocabulary on a thread of their own, one at a time.
//
// What one client may cost is bounded. A session stops reading while more
// than pauseReadingAt bytes of its answers wait to be sent, and reads again
// below resumeReadingAt; it is closed when its client takes no byte of
// waiting answers for readTimeout, when answers beyond maxQueued would
// wait, or when a packet it has begun (head or payload) is not complete
// within packetTimeout. A client that sends nothing between packets is kept,
// and so is one whose utterance is being matched.
// When the process is out of descriptors, accepting pauses until one is free.
//
// Who may add words and how much one client address may hold is the
// admission's (admission.h): a session begins by taking a pass for its
// client's address, and one refused is told why in one "UMSG" and closed
// once its client has closed (refused_connections.h).
//
// Behind a proxy (proxyProtocol), every connection must begin with the
// proxy's PROXY protocol version 2 header (proxy_header.h), within
// packetTimeout; the client it names is the session's client, for the
// admission and the log. A connection whose header is bad, of another
// version or missing is closed with one line of the log. The proxy's own
// connections (LOCAL: its health checks) are served as from the proxy's
// address and log only what goes wrong, unless the log is verbose.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "admission.h"
#include "conversation.h"
#include "log.h"
#include "refused_connections.h"
#include "vocabulary.h"

namespace tessary {

class Session;

struct SessionLimits {
    std::chrono::milliseconds packetTimeout{30000};
    std::chrono::milliseconds readTimeout{30000};
    std::size_t pauseReadingAt = 1024 * 1024;
    std::size_t resumeReadingAt = 256 * 1024;
    // Reading pauses before this can be reached by anything but one answer
    // of the largest size (a "PONG" to a 16 MiB "PING").
    std::size_t maxQueued = 1024 * 1024 + packet::kMaxPayload + 64 * 1024;
    // Every connection begins with a PROXY protocol header: never guessed.
    bool proxyProtocol = false;
};

class Server {
public:
    // Binds and listens at once; throws std::system_error when it cannot.
    // matchThreads threads match utterances (0: one per core).
    Server(asio::io_context &io, const asio::ip::tcp::endpoint &endpoint, Vocabulary &vocabulary, Log &log,
           const SessionLimits &limits = {}, unsigned matchThreads = 0, AdmissionRules admission = {});
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }
    ServerStats &Stats() { return stats_; }
    const Admission &Admitted() const { return admission_; }

    // Stops accepting and closes every open session.
    void Stop();

private:
    void Accept();
    void Accepted(asio::ip::tcp::socket socket);
    void PauseAccepting(const asio::error_code &ec);

    asio::io_context &io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::endpoint peer_;  // of the connection being accepted
    asio::steady_timer retry_;
    bool acceptPaused_ = false;
    std::chrono::steady_clock::time_point pausedSince_;
    SessionLimits limits_;
    Vocabulary &vocabulary_;
    Log &log_;
    ServerStats stats_;
    Admission admission_;
    std::shared_ptr<RefusedConnections> refused_;
    asio::thread_pool matchers_;
    asio::thread_pool adders_;  // one thread: one add at a time
    std::mutex sessionsMutex_;
    std::vector<std::weak_ptr<Session>> sessions_;
};

}  // namespace tessary
