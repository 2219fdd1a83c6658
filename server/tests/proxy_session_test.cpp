// tessary-server --proxy-protocol over real loopback sockets, the test
// standing in for the proxy: the header names the client, whose address the
// log, the enrolment policy and the per-address limit see; the proxy's own
// health checks are served quietly; a connection without a good header is
// closed with one line of the log, and nothing else changes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server_process.h"
#include "test_client.h"

namespace tessary::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const Bytes kSignature{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

// A PROXY header for a TCP connection from a.b.c.d:port to 127.0.0.1:105.
Bytes ProxyHeaderFrom(std::array<std::uint8_t, 4> address, std::uint16_t port) {
    Bytes bytes = kSignature;
    const Bytes rest{0x21, 0x11, 0x00, 0x0C, address[0], address[1], address[2], address[3], 127, 0, 0, 1,
                     static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xFF), 0x00, 0x69};
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
}

// The header of the proxy's own connection (HAProxy's health checks).
Bytes LocalHeader() {
    Bytes bytes = kSignature;
    bytes.insert(bytes.end(), {0x20, 0x00, 0x00, 0x00});
    return bytes;
}

class ProxySessions : public ::testing::Test {
protected:
    void Start(const std::vector<std::string> &options = {}) {
        std::vector<std::string> args{"--listen",       "127.0.0.1", "--port",    "0", "--data", data_.string(),
                                      "--seed",         seed_.string(), "--threads", "2", "--timeout", "1",
                                      "--proxy-protocol"};
        args.insert(args.end(), options.begin(), options.end());
        server_ = std::make_unique<Process>(std::move(args));
        port_ = server_->ListeningPort();
        ASSERT_NE(port_, 0) << "the server did not start";
    }

    // A client behind the proxy: its header sent, then a "PING" answered.
    std::unique_ptr<TestClient> Through(std::array<std::uint8_t, 4> address, std::uint16_t port) {
        auto client = std::make_unique<TestClient>(port_);
        client->Send(ProxyHeaderFrom(address, port));
        client->Send("PING", 7, "through");
        const auto pong = client->Read();
        EXPECT_TRUE(pong && pong->type == "PONG" && pong->payload == "through");
        return client;
    }

    TempDir dir_;
    std::filesystem::path data_ = dir_.Path() / "data";
    std::filesystem::path seed_ = WriteSeedFile(dir_.Path());
    std::unique_ptr<Process> server_;
    std::uint16_t port_ = 0;
};

// The log named the proxy, and the limits counted the proxy's address for
// every client behind it. The header's client is the session's: its log
// lines, its enrolment (192.0.2.10 is outside the default loopback policy
// though the socket's peer is 127.0.0.1) and its count of sessions.
TEST_F(ProxySessions, TheHeadersClientIsTheOneTheLogAndTheLimitsSee) {
    Start({"--max-sessions-per-address", "2"});
    EXPECT_EQ(server_->LinesWith("behind a proxy (PROXY protocol version 2 header required)").size(), 1u);

    auto stranger = Through({192, 0, 2, 10}, 51000);
    ASSERT_TRUE(server_->WaitForLines("192.0.2.10:51000 connected through " + stranger->Name(), 1));
    stranger->Send("ADDW", 0, "kasel");
    EXPECT_EQ(stranger->ReadMessage(), "Adding words is not allowed from this address.\r\n");

    // The same proxy relays a loopback client, which may add.
    auto local = Through({127, 0, 0, 2}, 40000);
    local->Send("ADDW", 0, "slovo");
    EXPECT_EQ(local->ReadMessage().rfind("Say the word slovo now", 0), 0u);

    // Two sessions of 192.0.2.10 are its most; a third is refused, while
    // another client of the same proxy is served.
    auto second = Through({192, 0, 2, 10}, 51001);
    TestClient third(port_);
    third.Send(ProxyHeaderFrom({192, 0, 2, 10}, 51002));
    EXPECT_EQ(third.ReadMessage(),
              "This address has 2 sessions open, the most one address may have: close one and connect again.\r\n");
    EXPECT_TRUE(third.WaitClosed());
    auto other = Through({198, 51, 100, 7}, 40001);
    ASSERT_TRUE(server_->WaitForLines("sessions of 192.0.2.10 are open", 1));

    // No line names the proxy's end of a relayed connection as a client.
    const std::string proxied = stranger->Name();
    stranger.reset();
    ASSERT_TRUE(server_->WaitForLines("192.0.2.10:51000 disconnected", 1));
    EXPECT_TRUE(server_->LinesWith(proxied + " ").empty());
}

// HAProxy's checks (check-send-proxy) send a LOCAL header: served as from
// the proxy's own address, and every few seconds, so not logged.
TEST_F(ProxySessions, TheProxysHealthChecksAreServedQuietly) {
    Start();
    for (int i = 0; i < 3; ++i) {
        TestClient check(port_);
        check.Send(LocalHeader());
        check.Send("PING", 0, "");
        const auto pong = check.Read();
        ASSERT_TRUE(pong && pong->type == "PONG" && pong->number == 0 && pong->payload.empty());
    }
    auto client = Through({127, 0, 0, 5}, 40002);
    client.reset();
    ASSERT_TRUE(server_->WaitForLines("127.0.0.5:40002 disconnected", 1));
    EXPECT_TRUE(server_->LinesWith("health check").empty());
    EXPECT_EQ(server_->LinesWith(" connected").size(), 1u);
    EXPECT_EQ(server_->LinesWith(" disconnected").size(), 1u);
}

// A connection whose header is bad, of version 1, cut short or missing is
// closed with one line naming why; the server serves on.
TEST_F(ProxySessions, AConnectionWithoutAGoodHeaderIsClosedWithOneLine) {
    Start();
    struct Case {
        Bytes bytes;
        bool closeAfter;  // the client leaves after sending them
        std::string line;
    };
    const std::string v1 = "PROXY TCP4 192.0.2.10 127.0.0.1 51000 105\r\n";
    Bytes unix = kSignature;
    unix.insert(unix.end(), {0x21, 0x31, 0x00, 0x00});
    const std::vector<Case> cases = {
        {Encode("PING", 1, "no header"), false,
         "PROXY protocol header refused: the connection does not begin with the header's signature: connection "
         "closed"},
        {Bytes(v1.begin(), v1.end()), false,
         "PROXY protocol header refused: a version 1 (text) header, of which only version 2 is accepted"},
        {unix, false, "PROXY protocol header refused: a relayed connection over a Unix socket"},
        {Bytes(kSignature.begin(), kSignature.begin() + 14), false,
         "no complete PROXY protocol header within 1 s: connection closed"},
        {{}, false, "no complete PROXY protocol header within 1 s: connection closed"},
        {Bytes(kSignature.begin(), kSignature.begin() + 5), true,
         "connection closed before its PROXY protocol header was complete"},
    };
    for (const Case &c : cases) {
        std::string name;
        {
            TestClient client(port_);
            name = client.Name();
            if (!c.bytes.empty()) client.Send(c.bytes);
            if (!c.closeAfter) {
                EXPECT_TRUE(client.WaitClosed()) << c.line;
            }
        }
        ASSERT_TRUE(server_->WaitForLines(name + " " + c.line, 1)) << c.line;
        EXPECT_EQ(server_->LinesWith(name + " ").size(), 1u) << c.line;
    }
    Through({127, 0, 0, 2}, 40003);
}

}  // namespace
}  // namespace tessary::test
