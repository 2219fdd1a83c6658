#include "log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace tessary {

Log::Log(std::ostream &out, bool verbose)
    : sink_([&out](std::string_view line) { out << line << '\n' << std::flush; }), verbose_(verbose) {}

void Log::Line(std::string_view text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    const int n = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
                                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    std::string line(stamp, static_cast<std::size_t>(n));
    line += text;
    std::lock_guard lock(mutex_);
    sink_(line);
}

}  // namespace tessary
