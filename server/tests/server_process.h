// Test helpers for the tessary-server program itself: the program running as
// a child process, its log gathered line by line, its memory read from /proc,
// and a seed vocabulary the synthetic words of test_client.h are recognised by.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessary::test {

// Limits the program starts with (set by the shell that execs it); zero
// leaves a limit as inherited.
struct ProcessLimits {
    long softDescriptors = 0;
    long hardDescriptors = 0;
    long fileSizeBlocks = 0;  // of 512 bytes
};

// tessary-server with the given arguments, or another program (HAProxy).
// Its standard error is read by a thread of its own, so the program never
// waits on a full pipe; every line is kept, without its time stamp. The
// destructor kills the program if it still runs.
class Process {
public:
    explicit Process(std::vector<std::string> args, const ProcessLimits &limits = {});
    Process(const std::string &program, std::vector<std::string> args, const ProcessLimits &limits = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // The next line not yet taken, or "" at the end of the output or after
    // the wait.
    std::string Line(std::chrono::milliseconds wait = std::chrono::seconds(10));
    // Takes lines until one contains text and returns it; "" as Line does.
    std::string LineWith(std::string_view text, std::chrono::milliseconds wait = std::chrono::seconds(10));
    // Every line so far that contains text, taken or not.
    std::vector<std::string> LinesWith(std::string_view text);
    // Waits until count lines contain text; false after the wait.
    bool WaitForLines(std::string_view text, std::size_t count,
                      std::chrono::milliseconds wait = std::chrono::seconds(10));
    // The port of the start-up line "tessary-server listening on ... port N";
    // 0 when the program did not get there.
    std::uint16_t ListeningPort();

    pid_t Pid() const { return pid_; }
    // Whether the program is still running (not exited, not a zombie).
    bool Running() const;
    // Its resident memory (VmRSS), in KiB; 0 when it has gone.
    std::size_t ResidentKiB() const;
    // Its open descriptors.
    std::size_t OpenDescriptors() const;

    void Signal(int signal);
    // Waits for the exit; its status, or -1 after a signal.
    int Wait();

private:
    void Gather(int fd);

    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::size_t taken_ = 0;
    bool ended_ = false;
};

// A seed vocabulary of two synthetic words, "ano" (id 0) and "ne" (id 1),
// 30 frames each, written as dir/seed.tsv.
std::filesystem::path WriteSeedFile(const std::filesystem::path &dir);
// The server's options for such a seed: made-up frames are no speech, so
// their words are heard by their recordings alone, not through whatever the
// phone models trained at build time make of them.
inline const std::vector<std::string> kRecordingsOnly = {"--phones", "none"};

}  // namespace tessary::test
