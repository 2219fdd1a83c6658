#include "connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "packet/dispatch.h"
#include "packet/message_types.h"

namespace tessary::cli {

namespace {

std::string Seconds(std::chrono::milliseconds ms) {
    const double s = static_cast<double>(ms.count()) / 1000.0;
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

}  // namespace

std::string Endpoint::Name() const {
    if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

Connection::Connection(const ConnectionOptions &options, int session, bool greet)
    : options_(options), session_(session) {
    Connect();
    // The window's greeting, once the connection is up.
    if (greet) SendText(mdlMSGConst::NEWS, 0, "news_demo");
}

Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

void Connection::Connect() {
    const std::string where = options_.endpoint.Name();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(options_.endpoint.port);
    const int rc = ::getaddrinfo(options_.endpoint.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) throw Unreachable("cannot connect to " + where + ": " + ::gai_strerror(rc));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    const Clock::time_point deadline = Clock::now() + options_.timeout;
    std::string why = "no address";
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                while (Clock::now() < deadline) {
                    if (options_.stop && options_.stop->load()) {
                        ::close(fd);
                        throw Stopped();
                    }
                    pollfd p{fd, POLLOUT, 0};
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                    const int n = ::poll(&p, 1, static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 100)));
                    if (n > 0) {
                        socklen_t size = sizeof error;
                        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                        break;
                    }
                }
            }
        }
        if (error == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            return;
        }
        ::close(fd);
        why = error == ETIMEDOUT ? "no connection within " + Seconds(options_.timeout) : std::strerror(error);
    }
    throw Unreachable("cannot connect to " + where + ": " + why);
}

void Connection::Queue(std::vector<std::uint8_t> packet) {
    if (options_.trace) {
        const Head head = ReadHead(packet.data());
        options_.trace->Packet(session_, '>', head, std::span(packet).subspan(VANTREL_PACKET_HEAD_SIZE));
    }
    if (options_.recorder) options_.recorder->Bytes(packet);
    if (outAt_ == out_.size()) {
        out_.clear();
        outAt_ = 0;
    }
    out_.insert(out_.end(), packet.begin(), packet.end());
}

void Connection::Send(std::span<const std::uint8_t> bytes) {
    // Packet by packet, so that the trace shows each.
    std::size_t at = 0;
    while (at + VANTREL_PACKET_HEAD_SIZE <= bytes.size()) {
        const Head head = ReadHead(bytes.data() + at);
        const std::size_t size = VANTREL_PACKET_HEAD_SIZE + static_cast<std::size_t>(std::max(0, head.length));
        const std::size_t end = std::min(bytes.size(), at + size);
        Queue(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(end)));
        at = end;
    }
    if (at < bytes.size()) Queue(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end()));

    const Clock::time_point deadline = Clock::now() + options_.timeout;
    while (outAt_ < out_.size()) {
        if (!lost_.empty()) ThrowLost();
        if (Clock::now() >= deadline)
            throw ExchangeFailed(options_.endpoint.Name() + " took no data for " + Seconds(options_.timeout), false);
        Step(deadline, -1);
    }
}

void Connection::SendText(std::string_view type, std::int32_t number, std::string_view utf8, bool crlf) {
    const auto packet = FrameText(type, number, utf8, crlf);
    Send(packet);
}

bool Connection::Pump(Clock::time_point until, int extraFd) {
    do {
        if (!lost_.empty()) ThrowLost();
        if (Step(until, extraFd)) return true;
    } while (Clock::now() < until);
    return false;
}

bool Connection::Step(Clock::time_point until, int extraFd) {
    if (options_.stop && options_.stop->load()) throw Stopped();
    pollfd fds[2];
    nfds_t count = 0;
    const bool open = lost_.empty();
    if (open) {
        fds[count++] = {fd_, static_cast<short>(POLLIN | (outAt_ < out_.size() ? POLLOUT : 0)), 0};
    }
    if (extraFd >= 0) fds[count++] = {extraFd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    const int wait = static_cast<int>(std::clamp<std::int64_t>(left, 0, 100));
    const int n = ::poll(fds, count, wait);
    if (n <= 0) return false;
    bool extra = false;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].fd == extraFd && extraFd >= 0) {
            extra = fds[i].revents != 0;
            continue;
        }
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadSome();
        if (lost_.empty() && (fds[i].revents & POLLOUT)) WriteSome();
    }
    return extra;
}

void Connection::ReadSome() {
    std::uint8_t buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
        received_ += static_cast<std::uint64_t>(n);
        const WalkResult result = reader_.Arrive(std::span(buffer, static_cast<std::size_t>(n)),
                                                 [this](const ReceivedPacket &packet) { OnPacket(packet); });
        if (result == WalkResult::BadLength) {
            throw ProtocolError(options_.endpoint.Name() + " sent a packet head with a bad length: " +
                                DescribeBadHead(reader_));
        }
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    lost_ = n == 0 ? "closed the connection" : std::string("connection lost: ") + std::strerror(errno);
    if (reader_.Pending() > 0) lost_ += " in the middle of a packet";
}

void Connection::WriteSome() {
    const ssize_t n = ::send(fd_, out_.data() + outAt_, out_.size() - outAt_, MSG_NOSIGNAL);
    if (n > 0) {
        outAt_ += static_cast<std::size_t>(n);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    lost_ = std::string("connection lost: ") + std::strerror(errno);
}

void Connection::OnPacket(const ReceivedPacket &packet) {
    if (options_.trace) options_.trace->Packet(session_, '<', packet.head, packet.payload);
    Message message{packet.head, std::vector<std::uint8_t>(packet.payload.begin(), packet.payload.end()), Clock::now()};
    const PacketKind kind = KindOf(packet.head);
    switch (kind) {
        case PacketKind::Text:
            texts_.push_back(std::move(message));
            break;
        case PacketKind::News:
            if (news_.empty()) news_ = message.Text();
            if (options_.answerServer) Queue(AnswerTo(Codec(), kind, packet.payload));
            break;
        case PacketKind::Ping:
            if (options_.answerServer) Queue(AnswerTo(Codec(), kind, packet.payload));
            break;
        case PacketKind::Pong:
            pongs_.push_back(std::move(message));
            break;
        case PacketKind::Other:
            break;
    }
}

bool Connection::Alive() {
    if (lost_.empty()) Step(Clock::now(), -1);
    return lost_.empty();
}

void Connection::ThrowLost() const { throw ExchangeFailed(options_.endpoint.Name() + " " + lost_, true); }

Message Connection::NextText(Clock::time_point deadline, std::string_view waitingFor) {
    for (;;) {
        if (!texts_.empty()) {
            Message m = std::move(texts_.front());
            texts_.pop_front();
            return m;
        }
        if (!lost_.empty()) ThrowLost();
        if (Clock::now() >= deadline) {
            throw ExchangeFailed("no answer to " + std::string(waitingFor) + " within " + Seconds(options_.timeout) +
                                 " from " + options_.endpoint.Name(),
                                 false);
        }
        Step(deadline, -1);
    }
}

std::optional<Message> Connection::PongOf(const std::string &text, Clock::time_point deadline) {
    for (;;) {
        while (!pongs_.empty()) {
            Message m = std::move(pongs_.front());
            pongs_.pop_front();
            if (m.Text() == text) return m;
        }
        if (!lost_.empty()) ThrowLost();
        if (Clock::now() >= deadline) return std::nullopt;
        Step(deadline, -1);
    }
}

}  // namespace tessary::cli
