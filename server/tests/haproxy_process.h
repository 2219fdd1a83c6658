// HAProxy for tests: the shipped configuration (packaging/haproxy/), made to
// listen on a free loopback port, to send to the given tessary-server ports
// and to keep its runtime API socket in the test's folder, then run in the
// foreground as a child process that the destructor ends, also when the test
// has failed.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server_process.h"
#include "test_client.h"

namespace tessary::test {

class HaproxyProcess {
public:
    // The haproxy program on PATH or in /usr/sbin; "" when there is none.
    static std::string Program();

    // The configuration made from shipped: its "bind" on 127.0.0.1 at a free
    // port, one "server" line per backend port (named as the shipped ones
    // are, "tessary-1", "tessary-2", ...), its runtime API socket in dir,
    // its log on standard error. Throws std::runtime_error when shipped
    // lacks one of the lines replaced.
    static std::string Configure(const std::filesystem::path &shipped, const std::filesystem::path &dir,
                                 std::uint16_t port, const std::vector<std::uint16_t> &backends);

    // Writes the configuration to dir and starts haproxy with it; returns
    // once its runtime API answers. Throws std::runtime_error with
    // haproxy's own words when it rejects the configuration or does not
    // come up within 10 s.
    HaproxyProcess(const std::filesystem::path &shipped, const std::filesystem::path &dir,
                   const std::vector<std::uint16_t> &backends);
    ~HaproxyProcess();
    HaproxyProcess(const HaproxyProcess &) = delete;
    HaproxyProcess &operator=(const HaproxyProcess &) = delete;

    // The port clients connect to.
    std::uint16_t Port() const { return port_; }
    // HAProxy's log, a line a connection (option tcplog), and its warnings.
    Process &Log() { return *process_; }

    // One command to the runtime API, and the whole answer; "" when the
    // socket does not answer.
    std::string Command(const std::string &command) const;

    // What "show servers state" says of a server's health: 0 down, 1
    // starting, 2 up, 3 stopping; -1 when it is not listed.
    int ServerState(const std::string &server) const;
    // Waits until the server is in that state; false after the wait.
    bool WaitForServerState(const std::string &server, int state,
                            std::chrono::milliseconds wait = std::chrono::seconds(20)) const;

private:
    std::filesystem::path socket_;
    std::uint16_t port_ = 0;
    std::unique_ptr<Process> process_;
};

// A TCP port on 127.0.0.1 that nothing listens on now.
std::uint16_t FreeLoopbackPort();

// The PROXY protocol's LOCAL header: what a health check sends, and what a
// test sends to talk to an instance started with --proxy-protocol directly
// (it is taken as from the connection's own address).
extern const std::vector<std::uint8_t> kProxyLocalHeader;

// A session with the instance at port itself, not through HAProxy.
std::unique_ptr<TestClient> DirectClient(std::uint16_t port);

// Which of instances logged the session of client (waiting up to 5 s for
// the line to be read); -1 for none.
int InstanceOf(const std::vector<std::unique_ptr<Process>> &instances, const TestClient &client);

}  // namespace tessary::test
