// One line per event, each with a UTC time stamp, written whole under a lock
// so lines of different sessions never mix.
#pragma once

#include <functional>
#include <mutex>
#include <ostream>
#include <string_view>

namespace tessary {

class Log {
public:
    using Sink = std::function<void(std::string_view line)>;

    // Writes each line, ended by a newline, to out.
    Log(std::ostream &out, bool verbose);
    // Hands each line, without its newline, to sink; calls never overlap.
    Log(Sink sink, bool verbose) : sink_(std::move(sink)), verbose_(verbose) {}

    bool Verbose() const { return verbose_; }
    void Line(std::string_view text);

private:
    Sink sink_;
    bool verbose_;
    std::mutex mutex_;
};

}  // namespace tessary
