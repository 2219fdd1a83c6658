#include "server.h"

#include <deque>
#include <string>

#include "cp1250.h"
#include "head_codec.h"

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
    if (p.type != "PONG" && !p.payload.empty()) {
        std::string text = Cp1250ToUtf8(p.payload);
        for (char &c : text)
            if (c == '\r' || c == '\n') c = ' ';
        line += ": " + text;
    }
    return line;
}

}  // namespace

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Vocabulary &vocabulary, Log &log, ServerStats &stats, std::string peer)
        : socket_(std::move(socket)), log_(log), conversation_(vocabulary, log, stats, std::move(peer)),
          stats_(stats) {}

    void Start() {
        Note("connected");
        ReadHead();
    }

    // Closes the socket from any thread; the session ends when its pending
    // operations have finished.
    void Close() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Shutdown(); });
    }

private:
    void Note(std::string_view text) {
        std::string line = conversation_.Peer();
        line += ' ';
        line += text;
        log_.Line(line);
    }

    void Shutdown() {
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

    void End(const asio::error_code &ec) {
        if (ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::operation_aborted)
            Note("disconnected");
        else
            Note("connection error: " + ec.message());
        Shutdown();
    }

    void ReadHead() {
        asio::async_read(socket_, asio::buffer(headBytes_),
                         [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                             if (ec) return self->End(ec);
                             self->OnHead();
                         });
    }

    void OnHead() {
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
            skipLeft_ = static_cast<std::size_t>(head_.length);
            return Skip();
        }
        body_.resize(static_cast<std::size_t>(head_.length));
        if (body_.empty()) return OnBody();
        asio::async_read(socket_, asio::buffer(body_),
                         [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                             if (ec) return self->End(ec);
                             self->OnBody();
                         });
    }

    void Skip() {
        if (skipLeft_ == 0) return ReadHead();
        if (skipBuffer_.empty()) skipBuffer_.resize(64 * 1024);
        const std::size_t chunk = std::min(skipLeft_, skipBuffer_.size());
        asio::async_read(socket_, asio::buffer(skipBuffer_.data(), chunk),
                         [self = shared_from_this()](const asio::error_code &ec, std::size_t n) {
                             if (ec) return self->End(ec);
                             self->skipLeft_ -= n;
                             self->Skip();
                         });
    }

    void OnBody() {
        std::vector<OutPacket> answers;
        try {
            conversation_.Handle(head_, body_, answers);
        } catch (const std::exception &e) {
            Note(std::string("error while handling ") + TypeText(head_.type) + ": " + e.what());
            Shutdown();
            return;
        }
        if (body_.capacity() > 64 * 1024) std::vector<std::uint8_t>().swap(body_);
        for (const OutPacket &p : answers) Send(p);
        ReadHead();
    }

    void Send(const OutPacket &packet) {
        if (log_.Verbose()) Note(Describe(packet));
        writes_.push_back(EncodePacket(packet));
        if (writes_.size() == 1) WriteNext();
    }

    void WriteNext() {
        asio::async_write(socket_, asio::buffer(writes_.front()),
                          [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                              if (ec) {
                                  if (ec != asio::error::operation_aborted) self->Note("write failed: " + ec.message());
                                  self->writes_.clear();
                                  return self->Shutdown();
                              }
                              self->writes_.pop_front();
                              if (!self->writes_.empty()) self->WriteNext();
                          });
    }

    tcp::socket socket_;
    Log &log_;
    Conversation conversation_;
    ServerStats &stats_;
    std::array<std::uint8_t, packet::kHeadSize> headBytes_{};
    packet::Head head_;
    std::vector<std::uint8_t> body_;
    std::vector<std::uint8_t> skipBuffer_;
    std::size_t skipLeft_ = 0;
    std::deque<std::vector<std::uint8_t>> writes_;
};

Server::Server(asio::io_context &io, const tcp::endpoint &endpoint, Vocabulary &vocabulary, Log &log)
    : io_(io), acceptor_(asio::make_strand(io)), retry_(acceptor_.get_executor()), vocabulary_(vocabulary),
      log_(log) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    if (endpoint.address().is_v6()) acceptor_.set_option(asio::ip::v6_only(false));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    Accept();
}

Server::~Server() = default;

void Server::Stop() {
    asio::post(acceptor_.get_executor(), [this] {
        asio::error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
    });
    std::lock_guard lock(sessionsMutex_);
    for (auto &weak : sessions_)
        if (auto session = weak.lock()) session->Close();
    sessions_.clear();
}

void Server::Accept() {
    acceptor_.async_accept(asio::make_strand(io_), [this](const asio::error_code &ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, for instance: try again a little later.
            log_.Line("cannot accept a connection: " + ec.message());
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](const asio::error_code &waitError) {
                if (!waitError && acceptor_.is_open()) Accept();
            });
            return;
        } else {
            asio::error_code peerError;
            const tcp::endpoint peer = socket.remote_endpoint(peerError);
            std::string name = peerError ? std::string("[unknown peer]")
                                         : peer.address().to_string() + ":" + std::to_string(peer.port());
            socket.set_option(tcp::no_delay(true), peerError);
            stats_.sessions.fetch_add(1, std::memory_order_relaxed);
            auto session = std::make_shared<Session>(std::move(socket), vocabulary_, log_, stats_, std::move(name));
            {
                std::lock_guard lock(sessionsMutex_);
                std::erase_if(sessions_, [](const std::weak_ptr<Session> &w) { return w.expired(); });
                sessions_.push_back(session);
            }
            session->Start();
        }
        Accept();
    });
}

}  // namespace tessary
