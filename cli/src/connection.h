// One connection to a recognition server, as the window holds it: it greets
// the server with "NEWS" "news_demo", answers a "NEWS" with "OSVF" "demo"
// (number 1) and a "PING" with a "PONG" of the same text, and keeps the text
// messages and "PONG"s it receives for the caller to wait on.
//
// A plain non-blocking socket and poll: every wait has a deadline, reading
// goes on while a send waits (a server that answers while it still receives
// never blocks us), and a run-wide stop flag is looked at ten times a second.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "trace.h"
#include "wire.h"

namespace tessary::cli {

struct Endpoint {
    std::string host = "localhost";
    std::uint16_t port = 105;
    // "host:port", an IPv6 address in brackets.
    std::string Name() const;
};

// A failure that ends the whole run, exit status 2.
struct RunEnded : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The server cannot be reached.
struct Unreachable : RunEnded {
    using RunEnded::RunEnded;
};
// The server broke the protocol (a head with a bad length).
struct ProtocolError : RunEnded {
    using RunEnded::RunEnded;
};
// This exchange failed (no answer in time, connection lost): the utterance
// is reported, the connection dropped, the run goes on.
struct ExchangeFailed : std::runtime_error {
    ExchangeFailed(const std::string &what, bool connectionLost)
        : std::runtime_error(what), lost(connectionLost) {}
    bool lost;                 // the connection is gone (else: no answer in time)
    bool answerBegun = false;  // some byte came after the request that asks for the answer
};
// The run was stopped by another session's fatal error.
struct Stopped : std::runtime_error {
    Stopped() : std::runtime_error("stopped") {}
};

struct Message {
    Head head;
    std::vector<std::uint8_t> payload;
    Clock::time_point at;  // when its last byte was read

    std::string Text() const { return Cp1250ToUtf8(payload); }
};

struct ConnectionOptions {
    Endpoint endpoint;
    std::chrono::milliseconds timeout{10000};  // connecting, sending, each answer
    Trace *trace = nullptr;
    Recorder *recorder = nullptr;
    bool answerServer = true;  // "OSVF" to "NEWS", "PONG" to "PING"
    const std::atomic<bool> *stop = nullptr;
};

class Connection {
public:
    // Connects and greets. Throws Unreachable.
    Connection(const ConnectionOptions &options, int session, bool greet = true);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Queues the packet(s) and waits until they are written. Throws
    // ExchangeFailed when the server takes nothing within the timeout or the
    // connection is gone, ProtocolError, Stopped.
    void Send(std::span<const std::uint8_t> bytes);
    void SendText(std::string_view type, std::int32_t number, std::string_view utf8, bool crlf = false);

    // Reads what comes until the time; returns early (true) when extraFd
    // (if not -1) becomes readable.
    bool Pump(Clock::time_point until, int extraFd = -1);

    // The next text message ("UMSG", "DMSG" unless numbered 1) at or before
    // the deadline; throws ExchangeFailed at the deadline or when the
    // connection is lost.
    Message NextText(Clock::time_point deadline, std::string_view waitingFor);
    // The "PONG" that echoes text; nullopt at the deadline.
    std::optional<Message> PongOf(const std::string &text, Clock::time_point deadline);
    // Whether the connection is still up, after reading what already waits
    // (a server may close it after an answer).
    bool Alive();
    // Forgets the text messages received so far.
    void DropTexts() { texts_.clear(); }

    // Bytes read from the server since the connection was made.
    std::uint64_t Received() const { return received_; }

    const std::string &News() const { return news_; }
    // The number of the next "DATA" packet: they count from 0 on every
    // connection, across its utterances, as the window's do.
    std::int32_t NextDataNumber() { return dataNumber_++; }
    int Session() const { return session_; }
    const Endpoint &Where() const { return options_.endpoint; }
    std::chrono::milliseconds Timeout() const { return options_.timeout; }

private:
    void Connect();
    void Queue(std::vector<std::uint8_t> packet);
    // One round of poll, at most until the time and at most 100 ms.
    bool Step(Clock::time_point until, int extraFd);
    void ReadSome();
    void WriteSome();
    void OnPacket(const ReceivedPacket &packet);
    [[noreturn]] void ThrowLost() const;

    ConnectionOptions options_;
    int session_;
    int fd_ = -1;
    ReceiveReassembly reader_{Codec()};
    std::vector<std::uint8_t> out_;
    std::size_t outAt_ = 0;
    std::deque<Message> texts_;
    std::deque<Message> pongs_;
    std::string news_;
    std::int32_t dataNumber_ = 0;
    std::uint64_t received_ = 0;
    std::string lost_;  // why the connection is gone; empty while it is up
};

}  // namespace tessary::cli
