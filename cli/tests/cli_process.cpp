#include "cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <sstream>

#include "speech.h"

extern char **environ;

namespace tessary::cli::test {

Outcome RunCli(const std::vector<std::string> &args, const std::vector<std::string> &environment,
               const std::string &input, int inputDelayMs) {
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argStrings = args;
    argStrings.insert(argStrings.begin(), TESSARY_CLI_PROGRAM);
    std::vector<char *> argv;
    for (auto &a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char **e = environ; *e; ++e) envStrings.emplace_back(*e);
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());
    std::vector<char *> envp;
    for (auto &e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, TESSARY_CLI_PROGRAM, &actions, nullptr, argv.data(), envp.data()) != 0)
        throw std::runtime_error("cannot start tessary-cli");
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    int inputFd = in[1];
    if (input.empty()) {
        ::close(inputFd);
        inputFd = -1;
    }

    Outcome outcome;
    int open = 2;
    const auto deadline = start + std::chrono::seconds(60);
    while (open > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now > deadline) {
            ADD_FAILURE() << "tessary-cli ran for more than 60 s";
            ::kill(pid, SIGKILL);
            break;
        }
        if (inputFd >= 0 && now - start >= std::chrono::milliseconds(inputDelayMs)) {
            if (::write(inputFd, input.data(), input.size()) < 0) ADD_FAILURE() << "cannot write to tessary-cli";
            ::close(inputFd);
            inputFd = -1;
        }
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        ::poll(fds, 2, 20);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                (i == 0 ? out[0] : err[0]) = -1;
                --open;
            }
        }
        if (out[0] < 0 && err[0] < 0) break;
    }
    if (inputFd >= 0) ::close(inputFd);
    if (out[0] >= 0) ::close(out[0]);
    if (err[0] >= 0) ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

void WriteWav(const std::filesystem::path &path, const std::vector<std::int16_t> &samples) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw std::runtime_error("cannot write " + path.string());
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

std::vector<std::int16_t> SpokenWord(const std::string &word) {
    return Pad(Speak(word, kSeedVoice), 2400, 2400);
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace tessary::cli::test
