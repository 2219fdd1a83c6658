// What goes over the wire, shown and kept: the trace writes a line per packet
// in either direction to standard error, the recorder keeps the exact bytes
// sent so that a session can be replayed.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <span>
#include <string>

#include "wire.h"

namespace tessary::cli {

using Clock = std::chrono::steady_clock;

// Writes whole lines to standard error, one at a time, so that lines of
// several sessions never mix; clears a progress line first.
class Console {
public:
    static Console &Instance();
    void Line(const std::string &text);
    // The progress line (standard error on a terminal); an empty text clears it.
    void Progress(const std::string &text);

private:
    std::mutex mutex_;
    std::size_t progressWidth_ = 0;
};

class Trace {
public:
    explicit Trace(Clock::time_point start) : start_(start) {}
    // direction: '>' sent, '<' received. For "DATA" a summary of the floats,
    // for everything else the text decoded from Windows-1250.
    void Packet(int session, char direction, const Head &head, std::span<const std::uint8_t> payload);
    // An event of the session that is no packet: "[  12.345] #3 ! text".
    void Note(int session, const std::string &text);

    // "[  12.345] #3 > DATA        7 1332  333 floats (37 frames): ..."
    static std::string Format(double seconds, int session, char direction, const Head &head,
                              std::span<const std::uint8_t> payload);

private:
    Clock::time_point start_;
};

class Recorder {
public:
    // Opens (truncates) the file; throws std::runtime_error naming it.
    explicit Recorder(const std::string &path);
    void Bytes(std::span<const std::uint8_t> bytes);

private:
    std::mutex mutex_;
    std::string path_;
    std::ofstream out_;
};

// Server text for a terminal: CR LF as LF, no line end at the end.
std::string AsLines(std::string_view text);

// Text with its line ends and other control characters written as escapes.
std::string Escape(std::string_view text);

}  // namespace tessary::cli
