// Test helpers on sockets: a server on a loopback port with its own threads
// and a client on a plain POSIX socket whose every wait is bounded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "conversation.h"
#include "log.h"
#include "server.h"
#include "test_support.h"
#include "vocabulary.h"

namespace tessary::test {

class TestServer {
public:
    // Opens the vocabulary in dataDir (from seed when it has none; its words
    // spelled with the phone models of the file phones, when given) and
    // serves it on 127.0.0.1 at a free port with the given number of
    // threads, and matchThreads threads matching utterances (0: one per core).
    TestServer(const std::filesystem::path &dataDir, const std::filesystem::path &seed = {}, int threads = 2,
               unsigned matchThreads = 0, const std::filesystem::path &phones = {});
    ~TestServer();

    std::uint16_t Port() const { return port_; }
    Vocabulary &Words() { return *vocabulary_; }
    ServerStats &Stats() { return server_->Stats(); }
    // The log lines so far that contain text.
    std::vector<std::string> LogLinesWith(const std::string &text);

private:
    std::mutex logMutex_;
    std::vector<std::string> logLines_;
    Log log_;
    std::unique_ptr<Vocabulary> vocabulary_;
    asio::io_context io_;
    std::unique_ptr<Server> server_;
    std::uint16_t port_ = 0;
    std::vector<std::thread> threads_;
};

struct Packet {
    std::string type;
    std::int32_t number = 0;
    std::string payload;
};

std::vector<std::uint8_t> Encode(const std::string &type, std::int32_t number, const std::string &payload);
// A head that announces length whatever follows it.
std::vector<std::uint8_t> Head(const std::string &type, std::int32_t number, std::int32_t length);
// "DATA" packets of at most perPacket floats each, numbered from firstNumber.
std::vector<std::uint8_t> DataPackets(const std::vector<float> &floats, std::size_t perPacket,
                                      std::int32_t &number);

// A TCP connection to 127.0.0.1:port with TCP_NODELAY set, from the
// loopback address from when given (127.0.0.2, ... stand for other
// clients); a test failure naming the port when it cannot be made (the
// descriptor is returned all the same, for the caller to close).
int ConnectToLoopback(std::uint16_t port, const std::string &from = {});
// "address:port" of the local end of a connected socket, as the server's
// log names its client.
std::string LocalName(int fd);

class TestClient {
public:
    explicit TestClient(std::uint16_t port, const std::string &from = {});
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    void Send(const std::vector<std::uint8_t> &bytes);
    void Send(const std::string &type, std::int32_t number = 0, const std::string &payload = {});
    // The next packet; fails the test and returns nothing after 10 s.
    std::optional<Packet> Read();
    // The payload of the next packet, which must be a "UMSG".
    std::string ReadMessage();
    // True when the server closes the connection within 10 s.
    bool WaitClosed();
    // "address:port" of this client, as the server's log names it.
    std::string Name() const { return LocalName(fd_); }
    // Sends an utterance: "SRCG", the floats in "DATA" packets of at most
    // 509 floats, "REST" with CR LF; returns the answer's text.
    std::string Utter(const std::vector<float> &floats);
    // The same without its "REST": "SRCG" and the "DATA" packets.
    void Speak(const std::vector<float> &floats);

private:
    bool ReadExactly(std::uint8_t *bytes, std::size_t count);
    int fd_ = -1;
    std::int32_t dataNumber_ = 0;
};

}  // namespace tessary::test
