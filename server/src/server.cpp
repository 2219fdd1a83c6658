#include "server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "packet/code_page.h"
#include "packet/message_types.h"
#include "head_codec.h"
#include "proxy_header.h"

namespace tessary {

using asio::ip::tcp;

namespace {

std::string TypeText(const std::array<char, 4> &type) {
    std::string text;
    for (char c : type) text += (c >= 0x21 && c <= 0x7E) ? c : '?';
    return text;
}

std::string Describe(const OutPacket &p) {
    std::string line = "out " + p.type + " #" + std::to_string(p.number) + " " + std::to_string(p.payload.size()) +
                       " bytes";
    if (p.type != mdlMSGConst::PONG && !p.payload.empty()) {
        std::string text = Cp1250ToUtf8(p.payload);
        for (char &c : text)
            if (c == '\r' || c == '\n') c = ' ';
        line += ": " + text;
    }
    return line;
}

// Matching yields the processor to the threads that serve the sockets: at
// the lowest priority a "PING" never waits behind a long match, and one
// utterance of the seed costs about a millisecond of a core, so matching
// still runs whenever a core is free.
void LowerThisThreadsPriority() {
    thread_local bool lowered = false;
    if (lowered) return;
    lowered = true;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
}

// "30 s", "0.5 s".
std::string Seconds(std::chrono::milliseconds ms) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms.count()) / 1000.0);
    return {text, static_cast<std::size_t>(n)};
}

std::string Bytes(std::size_t n) {
    if (n < 10 * 1024) return std::to_string(n) + " bytes";
    char text[32];
    const int k = std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(n) / (1024.0 * 1024.0));
    return {text, static_cast<std::size_t>(k)};
}

// Sessions that held this much at once give the allocator's free pages back
// to the system when they end.
constexpr std::size_t kTrimAfter = 1024 * 1024;

// "127.0.0.1:40312", "::1:40312", as the log names a client.
std::string EndpointName(const tcp::endpoint &endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
public:
    using Clock = std::chrono::steady_clock;

    Session(tcp::socket socket, const tcp::endpoint &peer, Vocabulary &vocabulary, Log &log, ServerStats &stats,
            const SessionLimits &limits, Admission admission, std::shared_ptr<RefusedConnections> refused,
            asio::thread_pool &matchers, asio::thread_pool &adders)
        : socket_(std::move(socket)), watchdog_(socket_.get_executor()), client_(peer), vocabulary_(vocabulary),
          log_(log), stats_(stats), matchers_(matchers), adders_(adders), limits_(limits),
          admission_(std::move(admission)), refused_(std::move(refused)) {}

    ~Session() {
#if defined(__GLIBC__)
        if (peakHeld_ >= kTrimAfter) ::malloc_trim(0);
#endif
    }

    // The client is the peer of the socket, or behind a proxy the client
    // its header names.
    void Start() {
        name_ = EndpointName(client_);
        if (limits_.proxyProtocol) return AwaitProxyHeader();
        Begin();
    }

    // Closes the socket from any thread; the session ends when its pending
    // operations have finished.
    void Close() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Shutdown(); });
    }

private:
    // Reads the proxy's header, and not a byte more, within packetTimeout.
    void AwaitProxyHeader() {
        watchdog_.expires_after(limits_.packetTimeout);
        watchdog_.async_wait([self = shared_from_this()](const asio::error_code &ec) {
            if (ec || self->closing_ || self->proxyHeaderRead_) return;
            self->Note("no complete PROXY protocol header within " + Seconds(self->limits_.packetTimeout) +
                       ": connection closed");
            self->Shutdown();
        });
        ReadProxyHeader();
    }

    void ReadProxyHeader() {
        const ProxyHeaderParse parse = ParseProxyHeader(proxyBytes_);
        if (parse.status == ProxyHeaderParse::Status::Bad) {
            Note("PROXY protocol header refused: " + parse.error + ": connection closed");
            return Shutdown();
        }
        if (parse.status == ProxyHeaderParse::Status::Ok) return OnProxyHeader(parse.header);
        const std::size_t got = proxyBytes_.size();
        proxyBytes_.resize(parse.size);
        socket_.async_read_some(asio::buffer(proxyBytes_.data() + got, parse.size - got),
                                [self = shared_from_this(), got](const asio::error_code &ec, std::size_t n) {
                                    if (self->closing_) return;
                                    if (ec) {
                                        self->Note("connection " +
                                                   std::string(ec == asio::error::eof ? "closed" : ec.message()) +
                                                   " before its PROXY protocol header was complete");
                                        return self->Shutdown();
                                    }
                                    self->proxyBytes_.resize(got + n);
                                    self->ReadProxyHeader();
                                });
    }

    void OnProxyHeader(const ProxyHeader &header) {
        proxyHeaderRead_ = true;
        std::vector<std::uint8_t>().swap(proxyBytes_);
        watchdog_.cancel();
        if (header.command == ProxyHeader::Command::Local) {
            proxyCheck_ = true;  // the proxy's own: served as from its address
        } else {
            through_ = name_;
            client_ = header.source;
            name_ = EndpointName(client_);
        }
        Begin();
    }

    // Whether the session's coming and going is worth a line: not a
    // proxy's health check, every few seconds, unless the log is verbose.
    bool Announced() const { return !proxyCheck_ || log_.Verbose(); }

    // Takes a pass for the client's address, or refuses the session.
    void Begin() {
        std::size_t refusedBefore = 0;
        auto entered = admission_.Enter(client_.address(), &refusedBefore);
        if (auto *refusal = std::get_if<Admission::Refusal>(&entered)) return Refuse(*refusal);
        pass_ = std::move(std::get<std::unique_ptr<Admission::Pass>>(entered));
        conversation_.emplace(vocabulary_, log_, stats_, name_);
        conversation_->DeferMatching(true);
        conversation_->SetAddGate({pass_->MayAdd(), [pass = pass_.get()] { return pass->TakeAdd(); }});
        std::string connected = "connected";
        if (!through_.empty()) connected += " through " + through_;
        if (proxyCheck_) connected += " (the proxy's health check)";
        if (refusedBefore != 0)
            connected += " (" + std::to_string(refusedBefore) + " sessions of this address refused before it)";
        if (Announced()) Note(connected);
        Watch();
        ReadHead();
    }

    // One "UMSG" that says why, then the end of the stream; the connection
    // goes to the refused ones (refused_connections.h), which close it
    // once its client has. The answer fits the empty send buffer of a new
    // connection, so it is written at once: a flood of refused connections
    // costs the threads that serve the sessions as little as can be.
    void Refuse(const Admission::Refusal &refusal) {
        if (refusal.logIt) Note(refusal.reason);
        const std::vector<std::uint8_t> answer = EncodePacket({"UMSG", 0, refusal.answer});
        asio::error_code ec;
        socket_.non_blocking(true, ec);
        if (ec || socket_.write_some(asio::buffer(answer), ec) != answer.size() || ec)
            return Shutdown();  // gone already, or not taking even this
        socket_.shutdown(tcp::socket::shutdown_send, ec);
        closing_ = true;
        watchdog_.cancel();
        refused_->Add(std::move(socket_));
    }

    // Gives the session's place back to its address.
    void Leave() {
        if (conversation_) conversation_->SetAddGate({});
        pass_.reset();
    }

    void Note(std::string_view text) {
        std::string line = name_;
        line += ' ';
        line += text;
        log_.Line(line);
    }

    // Ends the session. Whatever completes after this, aborted or failed,
    // neither logs nor starts anything: the line that said why was the last.
    void Shutdown() {
        if (closing_) return;
        closing_ = true;
        Leave();
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        watchdog_.cancel();
    }

    void End(const asio::error_code &ec) {
        if (closing_) return;
        Leave();  // before the line: a client that reads it may connect again at once
        if (ec == asio::error::eof || ec == asio::error::connection_reset) {
            if (Announced()) Note("disconnected");
        } else {
            Note("connection error: " + ec.message());
        }
        Shutdown();
    }

    // Checks a few times per time limit that a begun packet still moves
    // and that the client still takes its answers.
    void Watch() {
        const auto period = std::max(std::chrono::milliseconds(10),
                                     std::min(limits_.packetTimeout, limits_.readTimeout) / 4);
        watchdog_.expires_after(period);
        watchdog_.async_wait([self = shared_from_this()](const asio::error_code &ec) {
            if (ec || self->closing_) return;
            const auto now = Clock::now();
            if (self->inPacket_ && now - self->packetStarted_ > self->limits_.packetTimeout) {
                self->Note(std::string(self->readingHead_ ? "packet head" : "packet " + TypeText(self->head_.type)) +
                           " not complete after " + Seconds(self->limits_.packetTimeout) + ": session closed");
                return self->Shutdown();
            }
            if (!self->writes_.empty() && now - self->lastWritten_ > self->limits_.readTimeout) {
                self->Note("the client has taken no answer for " + Seconds(self->limits_.readTimeout) + " (" +
                           Bytes(self->queued_) + " waiting): session closed");
                return self->Shutdown();
            }
            self->Watch();
        });
    }

    // Waits for the first byte of the next packet, which may take for ever;
    // from then on the packet has packetTimeout to arrive whole.
    void ReadHead() {
        if (closing_) return;
        if (queued_ > limits_.pauseReadingAt) {
            readingPaused_ = true;  // the writes resume reading
            return;
        }
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code &ec) {
            if (self->closing_) return;
            if (ec) return self->End(ec);
            self->inPacket_ = true;
            self->readingHead_ = true;
            self->packetStarted_ = Clock::now();
            asio::async_read(self->socket_, asio::buffer(self->headBytes_),
                             [self](const asio::error_code &readError, std::size_t) {
                                 if (self->closing_) return;
                                 if (readError) return self->End(readError);
                                 self->OnHead();
                             });
        });
    }

    void OnHead() {
        readingHead_ = false;
        const packet::DecodedHead decoded = packet::DecodeHead(kHeadCodec, headBytes_);
        head_ = decoded.head;
        stats_.packetsIn.fetch_add(1, std::memory_order_relaxed);
        if (log_.Verbose())
            Note("in " + TypeText(head_.type) + " #" + std::to_string(head_.number) + " " +
                 std::to_string(head_.length) + " bytes");
        if (!decoded.Ok()) {
            stats_.badLengths.fetch_add(1, std::memory_order_relaxed);
            Note("packet " + TypeText(head_.type) + " announces " + std::to_string(head_.length) +
                 " bytes (allowed 0 to " + std::to_string(packet::kMaxPayload) + "): session closed");
            Shutdown();
            return;
        }
        if (!Conversation::Handles(head_.Type())) {
            // Not ours: its payload is read and thrown away piece by piece.
            if (!unknownLogged_) {
                Note("packet type " + TypeText(head_.type) +
                     " is not handled: skipped, and so are further unhandled types of this session");
                unknownLogged_ = true;
            }
            skipLeft_ = static_cast<std::size_t>(head_.length);
            return Skip();
        }
        body_.resize(static_cast<std::size_t>(head_.length));
        Held(body_.size());
        if (body_.empty()) return OnBody();
        asio::async_read(socket_, asio::buffer(body_),
                         [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                             if (self->closing_) return;
                             if (ec) return self->End(ec);
                             self->OnBody();
                         });
    }

    void Skip() {
        if (skipLeft_ == 0) {
            inPacket_ = false;
            return ReadHead();
        }
        if (skipBuffer_.empty()) skipBuffer_.resize(64 * 1024);
        const std::size_t chunk = std::min(skipLeft_, skipBuffer_.size());
        asio::async_read(socket_, asio::buffer(skipBuffer_.data(), chunk),
                         [self = shared_from_this()](const asio::error_code &ec, std::size_t n) {
                             if (self->closing_) return;
                             if (ec) return self->End(ec);
                             self->skipLeft_ -= n;
                             self->Skip();
                         });
    }

    void OnBody() {
        inPacket_ = false;
        std::vector<OutPacket> answers;
        try {
            conversation_->Handle(head_, body_, answers);
        } catch (const std::exception &e) {
            Note(std::string("error while handling ") + TypeText(head_.type) + ": " + e.what());
            Shutdown();
            return;
        }
        if (body_.capacity() > 64 * 1024) std::vector<std::uint8_t>().swap(body_);
        for (const OutPacket &p : answers) Send(p);
        if (auto job = conversation_->TakeMatch()) return Match(std::move(*job));
        if (auto job = conversation_->TakeAdd()) return Add(std::move(*job));
        ReadHead();
    }

    // Adds one after another on a thread of their own, so that neither the
    // threads that serve the sockets nor the matchers wait for the store;
    // reads the next packet once the answer is out. The thread keeps its
    // priority: an add's work is short, and its client waits for it.
    void Add(Conversation::AddJob job) {
        asio::post(adders_, [self = shared_from_this(), strand = socket_.get_executor(),
                             job = std::move(job)]() mutable {
            const Vocabulary::AddResult result = self->vocabulary_.AddRecording(job.word, std::move(job.speech));
            asio::post(strand, [self, word = std::move(job.word), result]() {
                if (self->closing_) return;
                std::vector<OutPacket> answers;
                self->conversation_->FinishAdd(word, result, answers);
                for (const OutPacket &p : answers) self->Send(p);
                self->ReadHead();
            });
        });
    }

    // Matches on the pool, away from the threads that serve the sockets,
    // and reads the next packet only once the answer is out.
    void Match(Conversation::MatchJob job) {
        asio::post(matchers_, [self = shared_from_this(), strand = socket_.get_executor(),
                               job = std::move(job)]() mutable {
            LowerThisThreadsPriority();
            Recognition recognition = Recognise(job.frames, *job.vocabulary);
            asio::post(strand, [self, recognition = std::move(recognition)]() mutable {
                if (self->closing_) return;
                std::vector<OutPacket> answers;
                self->conversation_->FinishMatch(std::move(recognition), answers);
                for (const OutPacket &p : answers) self->Send(p);
                self->ReadHead();
            });
        });
    }

    void Send(const OutPacket &packet) {
        if (closing_) return;
        if (log_.Verbose()) Note(Describe(packet));
        writes_.push_back(EncodePacket(packet));
        queued_ += writes_.back().size();
        Held(queued_ + body_.size());
        if (queued_ > limits_.maxQueued) {
            Note("answers of " + Bytes(queued_) + " would wait for the client: session closed");
            writes_.clear();
            return Shutdown();
        }
        if (writes_.size() == 1) {
            lastWritten_ = Clock::now();
            WriteNext();
        }
    }

    // One piece at a time, so that a client that reads slowly but reads is
    // told apart from one that has stopped.
    void WriteNext() {
        const auto &front = writes_.front();
        socket_.async_write_some(
            asio::buffer(front.data() + written_, front.size() - written_),
            [self = shared_from_this()](const asio::error_code &ec, std::size_t n) {
                if (self->closing_) return;
                if (ec) {
                    self->Note("connection lost while answering: " + ec.message());
                    return self->Shutdown();
                }
                self->lastWritten_ = Clock::now();
                self->written_ += n;
                self->queued_ -= n;
                if (self->written_ == self->writes_.front().size()) {
                    self->writes_.pop_front();
                    self->written_ = 0;
                }
                if (!self->writes_.empty()) self->WriteNext();
                if (self->readingPaused_ && self->queued_ <= self->limits_.resumeReadingAt) {
                    self->readingPaused_ = false;
                    self->ReadHead();
                }
            });
    }

    void Held(std::size_t bytes) { peakHeld_ = std::max(peakHeld_, bytes); }

    tcp::socket socket_;
    asio::steady_timer watchdog_;
    tcp::endpoint client_;  // whose address the admission counts
    std::string name_;      // the client's address and port, for the log
    std::string through_;   // the proxy's address and port, behind one
    std::vector<std::uint8_t> proxyBytes_;  // of the header, as they come
    bool proxyHeaderRead_ = false;
    bool proxyCheck_ = false;  // a LOCAL header: the proxy's own connection
    Vocabulary &vocabulary_;
    Log &log_;
    ServerStats &stats_;
    asio::thread_pool &matchers_;
    asio::thread_pool &adders_;
    const SessionLimits limits_;
    Admission admission_;
    std::shared_ptr<RefusedConnections> refused_;
    std::unique_ptr<Admission::Pass> pass_;     // the conversation's gate until Leave
    std::optional<Conversation> conversation_;  // once the session is let in
    bool closing_ = false;
    std::array<std::uint8_t, VANTREL_PACKET_HEAD_SIZE> headBytes_{};
    packet::Head head_;
    bool inPacket_ = false;     // from a packet's first byte to its last
    bool readingHead_ = false;
    Clock::time_point packetStarted_;
    std::vector<std::uint8_t> body_;
    std::vector<std::uint8_t> skipBuffer_;
    std::size_t skipLeft_ = 0;
    bool unknownLogged_ = false;
    std::deque<std::vector<std::uint8_t>> writes_;
    std::size_t written_ = 0;  // of writes_.front()
    std::size_t queued_ = 0;   // bytes of writes_ not yet sent
    bool readingPaused_ = false;
    Clock::time_point lastWritten_;  // when the client last took a byte
    std::size_t peakHeld_ = 0;
};

Server::Server(asio::io_context &io, const tcp::endpoint &endpoint, Vocabulary &vocabulary, Log &log,
               const SessionLimits &limits, unsigned matchThreads, AdmissionRules admission)
    : io_(io), acceptor_(asio::make_strand(io)), retry_(acceptor_.get_executor()), limits_(limits),
      vocabulary_(vocabulary), log_(log), admission_(std::move(admission)),
      refused_(RefusedConnections::Create(io.get_executor())),
      matchers_(matchThreads ? matchThreads : std::max(1u, std::thread::hardware_concurrency())),
      adders_(1) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    if (endpoint.address().is_v6()) acceptor_.set_option(asio::ip::v6_only(false));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    Accept();
}

Server::~Server() {
    adders_.join();
    matchers_.join();
}

void Server::Stop() {
    asio::post(acceptor_.get_executor(), [this] {
        asio::error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
    });
    refused_->CloseAll();
    std::lock_guard lock(sessionsMutex_);
    for (auto &weak : sessions_)
        if (auto session = weak.lock()) session->Close();
    sessions_.clear();
}

void Server::Accept() {
    // The peer's address is taken with the connection: asked for later, it
    // is gone when the client has already left.
    acceptor_.async_accept(asio::make_strand(io_), peer_, [this](const asio::error_code &ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec == asio::error::connection_aborted) return Accept();  // left before it was accepted
        if (ec) return PauseAccepting(ec);
        if (acceptPaused_) {
            acceptPaused_ = false;
            const auto paused = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - pausedSince_);
            log_.Line("accepting connections again after " + Seconds(paused));
        }
        Accepted(std::move(socket));
        Accept();
    });
}

void Server::Accepted(tcp::socket socket) {
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    stats_.sessions.fetch_add(1, std::memory_order_relaxed);
    auto session = std::make_shared<Session>(std::move(socket), peer_, vocabulary_, log_, stats_, limits_,
                                             admission_, refused_, matchers_, adders_);
    {
        std::lock_guard lock(sessionsMutex_);
        std::erase_if(sessions_, [](const std::weak_ptr<Session> &w) { return w.expired(); });
        sessions_.push_back(session);
    }
    session->Start();
}

// Out of descriptors, for instance: accepting waits a little and tries
// again, until a session has ended and freed one. One line when it starts
// and one when it ends, however many tries it takes.
void Server::PauseAccepting(const asio::error_code &ec) {
    if (!acceptPaused_) {
        acceptPaused_ = true;
        pausedSince_ = std::chrono::steady_clock::now();
        std::string why = ec.message();
        rlimit limit{};
        if ((ec == asio::error::no_descriptors || ec.value() == ENFILE) && ::getrlimit(RLIMIT_NOFILE, &limit) == 0)
            why += ", limit " + std::to_string(limit.rlim_cur);
        log_.Line("cannot accept connections (" + why + "): accepting paused");
    }
    retry_.expires_after(std::chrono::milliseconds(50));
    retry_.async_wait([this](const asio::error_code &waitError) {
        if (!waitError && acceptor_.is_open()) Accept();
    });
}

}  // namespace tessary
