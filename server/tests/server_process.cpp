#include "server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "test_support.h"

namespace tessary::test {

Process::Process(std::vector<std::string> args, const ProcessLimits &limits)
    : Process(TESSARY_SERVER_PROGRAM, std::move(args), limits) {}

Process::Process(const std::string &program, std::vector<std::string> args, const ProcessLimits &limits) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    args.insert(args.begin(), program);
    if (limits.softDescriptors || limits.hardDescriptors || limits.fileSizeBlocks) {
        // The shell sets the limits and becomes the program (same process).
        std::string script;
        if (limits.softDescriptors) script += "ulimit -S -n " + std::to_string(limits.softDescriptors) + " && ";
        if (limits.hardDescriptors) script += "ulimit -H -n " + std::to_string(limits.hardDescriptors) + " && ";
        if (limits.fileSizeBlocks) script += "ulimit -f " + std::to_string(limits.fileSizeBlocks) + " && ";
        script += "exec \"$0\" \"$@\"";
        args.insert(args.begin(), {"/bin/sh", "-c", script});
    }
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The child is killed when the test's thread ends, also when the test
    // aborts before any destructor runs: a program left behind would hold
    // its port, and the output of the test's runner open.
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
        ::dup2(fds[1], 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        throw std::runtime_error("cannot start " + program);
    }
    reader_ = std::thread([this, fd = fds[0]] { Gather(fd); });
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    reader_.join();
}

void Process::Gather(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            // "2026-12-07T16:40:36.123Z text": the stamp goes.
            const std::size_t space = line.find(' ');
            if (!line.empty() && line[0] == '2' && space != std::string::npos) line.erase(0, space + 1);
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

std::string Process::Line(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, wait, [&] { return taken_ < lines_.size() || ended_; })) return {};
    return taken_ < lines_.size() ? lines_[taken_++] : std::string();
}

std::string Process::LineWith(std::string_view text, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        std::string line = Line(left);
        if (line.empty() || line.find(text) != std::string::npos) return line;
    }
}

std::vector<std::string> Process::LinesWith(std::string_view text) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const auto &line : lines_)
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

bool Process::WaitForLines(std::string_view text, std::size_t count, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    auto enough = [&] {
        std::size_t n = 0;
        for (const auto &line : lines_) n += line.find(text) != std::string::npos;
        return n >= count;
    };
    changed_.wait_for(lock, wait, [&] { return enough() || ended_; });
    return enough();
}

std::uint16_t Process::ListeningPort() {
    static const std::regex listening(R"(tessary-server listening on \S+ port (\d+),)");
    std::smatch m;
    const std::string line = LineWith("tessary-server listening on");
    return std::regex_search(line, m, listening) ? static_cast<std::uint16_t>(std::stoi(m[1])) : 0;
}

namespace {

// The field of /proc/PID/status that starts with name, as a number.
std::size_t StatusField(pid_t pid, const std::string &name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name, 0) == 0) return std::stoul(line.substr(name.size()));
    return 0;
}

}  // namespace

bool Process::Running() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("State:", 0) == 0) return line.find('Z') == std::string::npos;
    return false;
}

std::size_t Process::ResidentKiB() const { return StatusField(pid_, "VmRSS:"); }

std::size_t Process::OpenDescriptors() const {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

void Process::Signal(int signal) { ::kill(pid_, signal); }

int Process::Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::filesystem::path WriteSeedFile(const std::filesystem::path &dir) {
    return WriteSeed(dir, {{"ano", SyntheticWord(0, 30)}, {"ne", SyntheticWord(1, 30)}});
}

}  // namespace tessary::test
