// Watches a recording's position, as the capture tick reads it, for a stream
// that has stopped or delivers nothing, so that the failure can be reported
// once per recording.
#pragma once

#include <chrono>
#include <cstdint>

namespace vantrel {

class StallWatch {
public:
    using Clock = std::chrono::steady_clock;

    explicit StallWatch(Clock::duration patience = std::chrono::seconds(2)) : patience_(patience) {}

    // Starts watching a new recording of length samples.
    void Start(std::int32_t length, Clock::time_point now);

    enum class Verdict { kFine, kStopped, kSilent };

    // One position query. Returns kStopped when the stream is no longer
    // active, kSilent when the position has not moved for the patience time,
    // in both cases only while the buffer is not full and only the first time
    // in the recording; kFine otherwise.
    Verdict Observe(std::int32_t position, bool streamActive, Clock::time_point now);

private:
    Clock::duration patience_;
    std::int32_t length_ = 0;
    std::int32_t lastPosition_ = 0;
    Clock::time_point lastAdvance_{};
    bool reported_ = false;
};

}  // namespace vantrel
