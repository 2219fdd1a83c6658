// Running tessary-cli as a process, and the recordings it is given.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessary::cli::test {

struct Outcome {
    int status = -1;  // exit status; -1 when killed
    std::string out;  // standard output
    std::string err;  // standard error
    double seconds = 0;
};

// Runs the program with the arguments and environment additions
// ("NAME=value"); input is written to its standard input after
// inputDelayMs, then standard input is closed. A run longer than 60 s is
// killed (and fails the test).
Outcome RunCli(const std::vector<std::string> &args, const std::vector<std::string> &environment = {},
               const std::string &input = {}, int inputDelayMs = 0);

// Writes 8000 Hz 16-bit mono samples as a WAV file.
void WriteWav(const std::filesystem::path &path, const std::vector<std::int16_t> &samples);

// espeak-ng's rendition of a word (the seed voice), padded with 300 ms of
// silence before and after.
std::vector<std::int16_t> SpokenWord(const std::string &word);

// Lines of a text.
std::vector<std::string> SplitLines(const std::string &text);

}  // namespace tessary::cli::test
