// tessary-server behind a real HAProxy started with the shipped
// configuration (packaging/haproxy/tessary-server.cfg): sessions through it
// are served and logged under the client's own address, its health checks
// find the instances up without a line of error in their logs, and an
// instance that dies is marked down while the other serves every new
// session. Skipped, in one line, where haproxy is not installed.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>

#include "haproxy_process.h"
#include "head_codec.h"
#include "server_process.h"
#include "test_client.h"
#include "test_support.h"

namespace tessary::test {
namespace {

using namespace std::chrono_literals;

std::string Hex(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

// The check's bytes are written out in the configuration, where nothing
// would notice a change of the head; here they meet our own encoder.
TEST(HaproxyConfiguration, TheHealthCheckSendsOurPingAndExpectsOurPong) {
    std::ifstream in(TESSARY_HAPROXY_CONFIG);
    ASSERT_TRUE(in) << TESSARY_HAPROXY_CONFIG;
    const std::string config((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::smatch send, expect;
    ASSERT_TRUE(std::regex_search(config, send, std::regex(R"(\n\s*tcp-check send-binary ([0-9a-fA-F]+)\n)")));
    ASSERT_TRUE(std::regex_search(config, expect, std::regex(R"(\n\s*tcp-check expect binary ([0-9a-fA-F]+)\n)")));
    EXPECT_EQ(send[1].str(), Hex(packet::Encode(kHeadCodec, "PING", 0, "")));
    EXPECT_EQ(expect[1].str(), Hex(packet::Encode(kHeadCodec, "PONG", 0, "")));
}

class BehindHaproxy : public ::testing::Test {
protected:
    void SetUp() override {
        if (HaproxyProcess::Program().empty())
            GTEST_SKIP() << "haproxy not found (scripts/install-deps installs it): the tests through HAProxy are skipped";
    }

    std::unique_ptr<Process> StartInstance(const std::string &name) {
        auto server = std::make_unique<Process>(std::vector<std::string>{
            "--listen", "127.0.0.1", "--port", "0", "--data", (dir_.Path() / name).string(), "--seed", seed_.string(),
            "--threads", "2", "--proxy-protocol", kRecordingsOnly[0], kRecordingsOnly[1]});
        return server;
    }

    TempDir dir_;
    std::filesystem::path seed_ = WriteSeedFile(dir_.Path());
};

TEST_F(BehindHaproxy, SessionsAreServedUnderTheClientsAddressAndADeadInstanceIsMarkedDown) {
    std::unique_ptr<Process> instances[] = {StartInstance("one"), StartInstance("two")};
    const std::vector<std::uint16_t> ports = {instances[0]->ListeningPort(), instances[1]->ListeningPort()};
    ASSERT_NE(ports[0], 0);
    ASSERT_NE(ports[1], 0);
    HaproxyProcess haproxy(TESSARY_HAPROXY_CONFIG, dir_.Path(), ports);

    // The checks (a LOCAL header, "PING", "PONG") find both up.
    ASSERT_TRUE(haproxy.WaitForServerState("tessary-1", 2)) << haproxy.Command("show servers state");
    ASSERT_TRUE(haproxy.WaitForServerState("tessary-2", 2)) << haproxy.Command("show servers state");

    // Sessions from 127.0.0.2: each instance's log names the client's own
    // address and port, and HAProxy's end of the connection after it.
    std::vector<std::string> names;
    {
        std::vector<std::unique_ptr<TestClient>> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(std::make_unique<TestClient>(haproxy.Port(), "127.0.0.2"));
            names.push_back(clients.back()->Name());
            EXPECT_EQ(clients.back()->Utter(Utterance(i % 2, 40)), i % 2 ? "Recognised: ne\r\n" : "Recognised: ano\r\n");
        }
        const std::regex proxyEnd(R"(127\.0\.0\.1:\d+)");
        for (const std::string &name : names) {
            const std::string start = name + " connected through ";
            std::size_t found = 0;
            for (auto &instance : instances)
                for (const std::string &line : instance->LinesWith(start))
                    found += line.rfind(start, 0) == 0 && std::regex_match(line.substr(start.size()), proxyEnd);
            EXPECT_EQ(found, 1u) << name;
        }
        // leastconn: four sessions held at once, two on each.
        EXPECT_EQ(instances[0]->LinesWith(" connected through ").size(), 2u);
        EXPECT_EQ(instances[1]->LinesWith(" connected through ").size(), 2u);
    }
    for (const std::string &name : names) {
        bool gone = false;
        for (auto &instance : instances) gone = gone || instance->WaitForLines(name + " disconnected", 1, 2s);
        EXPECT_TRUE(gone) << name;
    }

    // A few more rounds of checks: still up, and not one line about them.
    std::this_thread::sleep_for(4500ms);
    EXPECT_EQ(haproxy.ServerState("tessary-1"), 2);
    EXPECT_EQ(haproxy.ServerState("tessary-2"), 2);
    for (auto &instance : instances) {
        for (const std::string &line : instance->LinesWith(""))
            EXPECT_TRUE(line.find("connected") == std::string::npos || line.find("127.0.0.2:") == 0)
                << "a line not of the test's sessions: " << line;
        for (const std::string &line : instance->LinesWith("PROXY"))
            EXPECT_NE(line.find("tessary-server listening on"), std::string::npos) << line;
        EXPECT_TRUE(instance->LinesWith("error").empty());
    }

    // One instance dies: HAProxy marks it down, and every new session goes
    // to the other.
    instances[0]->Signal(SIGKILL);
    instances[0]->Wait();
    ASSERT_TRUE(haproxy.WaitForServerState("tessary-1", 0)) << haproxy.Command("show servers state");
    EXPECT_EQ(haproxy.ServerState("tessary-2"), 2);
    for (int i = 0; i < 4; ++i) {
        TestClient client(haproxy.Port(), "127.0.0.3");
        client.Send("PING", i, "after");
        const auto pong = client.Read();
        EXPECT_TRUE(pong && pong->type == "PONG" && pong->payload == "after") << i;
        EXPECT_TRUE(instances[1]->WaitForLines(client.Name() + " connected through", 1)) << i;
    }
}

}  // namespace
}  // namespace tessary::test
