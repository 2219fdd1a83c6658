#include "platform/replay_capture_device.h"

#include "core/messages.h"

#include <algorithm>
#include <utility>

#include "platform/audio_file.h"

namespace vantrel {

ReplayCaptureDevice::ReplayCaptureDevice(std::string path, Clock now)
    : path_(std::move(path)), now_(std::move(now)) {}

int ReplayCaptureDevice::Open(std::int16_t *buffer, std::int32_t length) {
    if (open_ || buffer == nullptr || length < 0) return -1;
    std::string error;
    if (!ReadAudioFile8k(path_, length, &samples_, &error)) {
        Report("cannot record from VANTREL_CAPTURE_FILE \"" + path_ + "\": " + error);
        return -1;
    }
    buffer_ = buffer;
    length_ = length;
    copied_ = 0;
    start_ = now_();
    open_ = true;
    return 0;
}

int ReplayCaptureDevice::Position(std::int32_t *samples) {
    if (!open_) return -1;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(now_() - start_).count();
    const std::int64_t position = std::clamp<std::int64_t>(elapsed * 8 / 1000, 0, length_);
    const auto fileEnd = static_cast<std::int64_t>(samples_.size());
    const std::int64_t copyEnd = std::min(position, fileEnd);
    if (copyEnd > copied_) {
        std::copy(samples_.begin() + copied_, samples_.begin() + copyEnd, buffer_ + copied_);
        copied_ = static_cast<std::int32_t>(copyEnd);
    }
    *samples = static_cast<std::int32_t>(position);
    return 0;
}

int ReplayCaptureDevice::Close() {
    if (!open_) return -1;
    open_ = false;
    buffer_ = nullptr;
    samples_ = {};
    return 0;
}

}  // namespace vantrel
