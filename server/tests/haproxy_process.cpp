#include "haproxy_process.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tessary::test {

namespace {

std::string Trimmed(const std::string &line) {
    const std::size_t start = line.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : line.substr(start);
}

std::string Indent(const std::string &line) { return line.substr(0, line.find_first_not_of(" \t")); }

}  // namespace

const std::vector<std::uint8_t> kProxyLocalHeader = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49,
                                                     0x54, 0x0A, 0x20, 0x00, 0x00, 0x00};

std::unique_ptr<TestClient> DirectClient(std::uint16_t port) {
    auto client = std::make_unique<TestClient>(port);
    client->Send(kProxyLocalHeader);
    return client;
}

int InstanceOf(const std::vector<std::unique_ptr<Process>> &instances, const TestClient &client) {
    // The line is written before the session's first answer, but the log is
    // read by a thread of its own: it may not have been read yet.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        for (std::size_t i = 0; i < instances.size(); ++i)
            if (!instances[i]->LinesWith(client.Name() + " connected").empty()) return static_cast<int>(i);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < until);
    return -1;
}

std::uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(std::string("no free loopback port: ") + std::strerror(errno));
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string HaproxyProcess::Program() {
    std::string path = ::getenv("PATH") ? ::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/local/sbin";
    std::istringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        const std::string program = folder + "/haproxy";
        if (::access(program.c_str(), X_OK) == 0) return program;
    }
    return {};
}

std::string HaproxyProcess::Configure(const std::filesystem::path &shipped, const std::filesystem::path &dir,
                                      std::uint16_t port, const std::vector<std::uint16_t> &backends) {
    std::ifstream in(shipped);
    if (!in) throw std::runtime_error("cannot read " + shipped.string());
    std::string config;
    bool bind = false, servers = false, socket = false, log = false;
    for (std::string line; std::getline(in, line);) {
        const std::string text = Trimmed(line), indent = Indent(line);
        if (text.rfind("log /", 0) == 0) {
            line = indent + "log stderr format raw local0 info";
            log = true;
        } else if (text.rfind("stats socket ", 0) == 0) {
            line = indent + "stats socket " + (dir / "admin.sock").string() + " mode 600 level admin";
            socket = true;
        } else if (text.rfind("bind ", 0) == 0) {
            line = indent + "bind 127.0.0.1:" + std::to_string(port);
            bind = true;
        } else if (text.rfind("server ", 0) == 0) {
            if (servers) continue;
            servers = true;
            line.clear();
            for (std::size_t i = 0; i < backends.size(); ++i)
                line += indent + "server tessary-" + std::to_string(i + 1) + " 127.0.0.1:" +
                        std::to_string(backends[i]) + (i + 1 < backends.size() ? "\n" : "");
        }
        config += line + "\n";
    }
    if (!bind || !servers || !socket || !log)
        throw std::runtime_error(shipped.string() + " lacks a \"bind\", \"server\", \"stats socket\" or \"log\" line");
    return config;
}

HaproxyProcess::HaproxyProcess(const std::filesystem::path &shipped, const std::filesystem::path &dir,
                               const std::vector<std::uint16_t> &backends)
    : socket_(dir / "admin.sock"), port_(FreeLoopbackPort()) {
    const std::filesystem::path config = dir / "haproxy.cfg";
    std::ofstream(config) << Configure(shipped, dir, port_, backends);
    const std::string program = Program();
    if (program.empty()) throw std::runtime_error("haproxy not found");
    // -db: in the foreground, without a master process.
    process_ = std::make_unique<Process>(program, std::vector<std::string>{"-db", "-f", config.string()});
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);;) {
        if (Command("show info").find("Name: HAProxy") != std::string::npos) return;
        if (!process_->Running() || std::chrono::steady_clock::now() > until) {
            std::string said;
            for (const std::string &line : process_->LinesWith("")) said += "\n  " + line;
            throw std::runtime_error("haproxy did not come up with " + config.string() + ":" + said);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

HaproxyProcess::~HaproxyProcess() {
    if (process_ && process_->Running()) {
        process_->Signal(SIGTERM);
        process_->Wait();
    }
}

std::string HaproxyProcess::Command(const std::string &command) const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const std::string line = command + "\n";
        if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

int HaproxyProcess::ServerState(const std::string &server) const {
    // "# be_id be_name srv_id srv_name srv_addr srv_op_state ...", then a
    // line a server: the columns are found by their names.
    std::istringstream lines(Command("show servers state"));
    std::vector<std::string> columns;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        if (!fields.empty() && fields[0] == "#") {
            columns.assign(fields.begin() + 1, fields.end());
            continue;
        }
        std::size_t name = columns.size(), state = columns.size();
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (columns[i] == "srv_name") name = i;
            if (columns[i] == "srv_op_state") state = i;
        }
        if (name < fields.size() && state < fields.size() && fields[name] == server) return std::stoi(fields[state]);
    }
    return -1;
}

bool HaproxyProcess::WaitForServerState(const std::string &server, int state, std::chrono::milliseconds wait) const {
    for (const auto until = std::chrono::steady_clock::now() + wait;;) {
        if (ServerState(server) == state) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace tessary::test
