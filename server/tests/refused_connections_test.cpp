// The refused connections over real loopback sockets: each is held until its
// client closes, hundreds closed at once all go, what a client sends after
// its answer is dropped so that the end it sees is orderly, never a reset,
// and one whose client stays is closed after the linger.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "refused_connections.h"
#include "test_client.h"

namespace tessary::test {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

class Refused : public ::testing::Test {
protected:
    void Start(const RefusedConnections::Pace &pace) {
        refused_ = RefusedConnections::Create(io_.get_executor(), pace);
        for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
    }

    ~Refused() override {
        work_.reset();
        refused_->CloseAll();
        refused_.reset();
        for (auto &t : threads_) t.join();
    }

    // Connects a client, then refuses it as a session is refused: the
    // answer, the end of the server's stream, and the connection handed
    // over. Returns the client's descriptor.
    int ConnectAndRefuse(const std::string &beforeRefusal = {}) {
        const int fd = ConnectToLoopback(acceptor_.local_endpoint().port());
        if (!beforeRefusal.empty()) {
            EXPECT_EQ(::send(fd, beforeRefusal.data(), beforeRefusal.size(), 0),
                      static_cast<ssize_t>(beforeRefusal.size()));
        }
        tcp::socket socket = acceptor_.accept();
        asio::write(socket, asio::buffer(std::string("why\r\n")));
        socket.shutdown(tcp::socket::shutdown_send);
        refused_->Add(std::move(socket));
        EXPECT_FALSE(socket.is_open());
        return fd;
    }

    bool WaitUntilNoneHeld(std::chrono::milliseconds wait) {
        for (const auto until = std::chrono::steady_clock::now() + wait;;) {
            if (refused_->Held() == 0) return true;
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(5ms);
        }
    }

    // Everything the client receives until the end of the stream; "ERROR"
    // and errno's text after a reset or after 5 s.
    static std::string ReadToEnd(int fd) {
        std::string got;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return got + "ERROR timeout";
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0) return got;
            if (n < 0) return got + "ERROR " + std::strerror(errno);
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }

    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{io_.get_executor()};
    tcp::acceptor acceptor_{io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
    std::shared_ptr<RefusedConnections> refused_;
    std::vector<std::thread> threads_;
};

// A flood's refused connections, closed by their clients at once, are all
// closed by the server long before their linger, a few at a tick.
TEST_F(Refused, HundredsClosedByTheirClientsAtOnceAreAllClosed) {
    Start({.linger = 60s, .tick = 5ms, .visitsPerTick = 16});
    std::vector<int> clients;
    for (int i = 0; i < 300; ++i) clients.push_back(ConnectAndRefuse());
    for (int fd : clients) EXPECT_EQ(ReadToEnd(fd), "why\r\n");
    EXPECT_EQ(refused_->Held(), 300u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(refused_->Held(), 300u) << "closed before their clients";
    for (int fd : clients) ::close(fd);
    EXPECT_TRUE(WaitUntilNoneHeld(10s)) << refused_->Held() << " still held";
}

// Closed with bytes unread, a connection is reset, and the reset may
// overtake the answer. Whatever the client sends, before its refusal or
// after, is read and dropped: when the linger ends the client that stayed
// sees the end of the stream, not a reset.
TEST_F(Refused, WhatTheClientSendsIsDroppedAndTheEndIsOrderly) {
    Start({.linger = 300ms, .tick = 5ms, .visitsPerTick = 64});
    const std::string packet(20000, 'x');
    const int client = ConnectAndRefuse(packet);
    EXPECT_EQ(ReadToEnd(client), "why\r\n");
    ASSERT_EQ(::send(client, packet.data(), packet.size(), MSG_NOSIGNAL), static_cast<ssize_t>(packet.size()));
    EXPECT_TRUE(WaitUntilNoneHeld(5s));
    std::this_thread::sleep_for(50ms);
    char byte;
    EXPECT_EQ(::recv(client, &byte, 1, MSG_DONTWAIT), 0) << std::strerror(errno);
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length);
    EXPECT_EQ(error, 0) << std::strerror(error);
    ::close(client);
}

}  // namespace
}  // namespace tessary::test
