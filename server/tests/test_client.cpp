#include "test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/packet_head.h"
#include "head_codec.h"
#include "frame_features.h"

namespace tessary::test {

TestServer::TestServer(const std::filesystem::path &dataDir, const std::filesystem::path &seed, int threads,
                       unsigned matchThreads, const std::filesystem::path &phones)
    : log_(
          [this](std::string_view line) {
              std::lock_guard lock(logMutex_);
              logLines_.emplace_back(line);
          },
          true),
      vocabulary_(Vocabulary::Open(dataDir, seed, phones.empty() ? nullptr : LoadPhoneModelsFile(phones))) {
    server_ = std::make_unique<Server>(
        io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), *vocabulary_, log_,
        SessionLimits{}, matchThreads);
    port_ = server_->LocalEndpoint().port();
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
}

TestServer::~TestServer() {
    server_->Stop();
    io_.stop();
    for (auto &t : threads_) t.join();
    server_.reset();
}

std::vector<std::string> TestServer::LogLinesWith(const std::string &text) {
    std::lock_guard lock(logMutex_);
    std::vector<std::string> found;
    for (const auto &line : logLines_)
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

std::vector<std::uint8_t> Head(const std::string &type, std::int32_t number, std::int32_t length) {
    const auto head = packet::EncodeHead(kHeadCodec, type, number, length);
    return {head.begin(), head.end()};
}

std::vector<std::uint8_t> Encode(const std::string &type, std::int32_t number, const std::string &payload) {
    return packet::Encode(kHeadCodec, type, number, payload);
}

std::vector<std::uint8_t> DataPackets(const std::vector<float> &floats, std::size_t perPacket,
                                      std::int32_t &number) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = 0; at < floats.size(); at += perPacket) {
        const std::size_t n = std::min(perPacket, floats.size() - at);
        std::string payload(n * 4, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &floats[at + i], 4);
            vantrel::StoreLittleEndian32(reinterpret_cast<std::uint8_t *>(payload.data()) + 4 * i, bits);
        }
        const auto packet = Encode("DATA", number++, payload);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    return bytes;
}

int ConnectToLoopback(std::uint16_t port, const std::string &from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!from.empty()) {
        // The port is chosen by connect, not by bind: repeated runs that
        // connect hundreds of times from one address would run out of ports.
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0)
            ADD_FAILURE() << "cannot connect from " << from << ": " << std::strerror(errno);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        ADD_FAILURE() << "cannot connect to port " << port << ": " << std::strerror(errno);
    return fd;
}

std::string LocalName(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

TestClient::TestClient(std::uint16_t port, const std::string &from) : fd_(ConnectToLoopback(port, from)) {
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

TestClient::~TestClient() { ::close(fd_); }

void TestClient::Send(const std::vector<std::uint8_t> &bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "send failed: " << std::strerror(errno);
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

void TestClient::Send(const std::string &type, std::int32_t number, const std::string &payload) {
    Send(Encode(type, number, payload));
}

bool TestClient::ReadExactly(std::uint8_t *bytes, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::recv(fd_, bytes + got, count - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<Packet> TestClient::Read() {
    std::uint8_t head[VANTREL_PACKET_HEAD_SIZE];
    if (!ReadExactly(head, sizeof head)) {
        ADD_FAILURE() << "no packet from the server";
        return std::nullopt;
    }
    const packet::DecodedHead decoded = packet::DecodeHead(kHeadCodec, head);
    if (!decoded.Ok()) {
        ADD_FAILURE() << "the server announced " << decoded.head.length << " bytes";
        return std::nullopt;
    }
    const packet::Head &h = decoded.head;
    Packet p{std::string(h.Type()), h.number, std::string(static_cast<std::size_t>(h.length), '\0')};
    if (!ReadExactly(reinterpret_cast<std::uint8_t *>(p.payload.data()), p.payload.size())) {
        ADD_FAILURE() << "packet cut short";
        return std::nullopt;
    }
    return p;
}

std::string TestClient::ReadMessage() {
    const auto p = Read();
    if (!p) return "(no packet)";
    EXPECT_EQ(p->type, "UMSG");
    return p->payload;
}

bool TestClient::WaitClosed() {
    std::uint8_t byte = 0;
    for (;;) {
        const ssize_t n = ::recv(fd_, &byte, 1, 0);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == ECONNRESET;
    }
}

void TestClient::Speak(const std::vector<float> &floats) {
    std::vector<std::uint8_t> bytes = Encode("SRCG", 0, "");
    const auto data = DataPackets(floats, 509, dataNumber_);
    bytes.insert(bytes.end(), data.begin(), data.end());
    Send(bytes);
}

std::string TestClient::Utter(const std::vector<float> &floats) {
    Speak(floats);
    Send("REST", 0, "\r\n");
    return ReadMessage();
}

}  // namespace tessary::test
