// An output device that "plays" into a WAV file: the samples are written at
// real-time pace by a thread of the device's own, which sleeps in small steps
// and writes what has become due, and the position is the time since Write,
// 8 samples per millisecond, at most the buffer's length, as a sound card
// reports it. When the whole buffer is in the file, the file is closed and
// the completion notice called, as a sound card's is; a stop calls the
// notice too. Selected by the
// environment variable VANTREL_PLAYBACK_FILE, for machines without a sound
// card.
#pragma once

#include <sndfile.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/playback_device.h"

namespace vantrel {

class FilePlaybackDevice final : public PlaybackDevice {
public:
    // Codes of this device's own failures; libsndfile's come as they are.
    static constexpr int kNotOpen = -1;
    static constexpr int kBadFormat = -2;
    static constexpr int kBadBuffer = -3;
    static constexpr int kThreadFailed = -4;

    explicit FilePlaybackDevice(std::string path);
    ~FilePlaybackDevice() override;
    FilePlaybackDevice(const FilePlaybackDevice &) = delete;
    FilePlaybackDevice &operator=(const FilePlaybackDevice &) = delete;

    // Creates (or empties) the file, WAV 16-bit mono at the format's rate.
    int Open(const PlaybackFormat &format, PlaybackNotice notice) override;
    int Prepare(const std::int16_t *samples, std::int32_t count) override;
    int Write() override;
    int Position(std::int32_t *samples) override;
    // Stops the writer at once; the file keeps what had been played up to
    // the moment of stopping.
    int Close() override;
    std::string ErrorText(int code) const override;

private:
    using Clock = std::chrono::steady_clock;

    std::int32_t Due(Clock::time_point now) const;
    void Run();
    bool WriteUpTo(std::int32_t end);

    std::string path_;
    std::string error_;
    bool open_ = false;
    PlaybackNotice notice_;
    SNDFILE *file_ = nullptr;
    int rate_ = 0;
    const std::int16_t *samples_ = nullptr;
    std::int32_t count_ = 0;
    Clock::time_point start_;

    // The writer; only it touches file_ and written_ while it runs.
    std::thread writer_;
    std::int32_t written_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

}  // namespace vantrel
