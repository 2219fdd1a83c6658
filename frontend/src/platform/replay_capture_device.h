// A capture device that "records" an audio file in real time: the position is
// the time since Open, 8 samples per millisecond, and after the file's end
// the input stays silent (zero), like a microphone left open until the
// buffer is full. Selected by the environment variable VANTREL_CAPTURE_FILE.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/capture_device.h"

namespace vantrel {

class ReplayCaptureDevice final : public CaptureDevice {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The file is read when the device opens. now is the clock that paces
    // the replay.
    explicit ReplayCaptureDevice(std::string path, Clock now = &std::chrono::steady_clock::now);

    // Reads and converts the file; an unreadable one fails with one line on
    // the library's messages that names the file and the reason.
    int Open(std::int16_t *buffer, std::int32_t length) override;
    // Copies the file's samples up to the position into the buffer first.
    int Position(std::int32_t *samples) override;
    int Close() override;

private:
    std::string path_;
    Clock now_;
    std::vector<std::int16_t> samples_;
    std::int16_t *buffer_ = nullptr;
    std::int32_t length_ = 0;
    std::int32_t copied_ = 0;
    std::chrono::steady_clock::time_point start_;
    bool open_ = false;
};

}  // namespace vantrel
