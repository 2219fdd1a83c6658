// Playback of one buffer of 16-bit samples at 8000 Hz through an output
// device. Open plays the library's own copy of the caller's samples;
// Close stops it early and says how far it got; when the buffer has played
// to its end the device and the copy are released without any further call.
//
// Threads. Open and Close may be called from any thread; they are
// serialised by one mutex, which is also held while a device is released.
// The device's completion notice comes from a thread of the device's own and
// never takes that mutex: it only clears Playing (one atomic step) and, if it
// was the one to clear it, hands the release over to a small releaser
// thread, because a device may not be closed from inside its own notice.
// Whichever of Close and the notice clears Playing owns the release; the
// release itself runs under the mutex and is done at most once per device,
// by the releaser, or earlier by the next Open or Close if they come first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/playback_device.h"

namespace vantrel {

// Shows a failure of the sound card: the caption and the sound system's own
// text. The default sends one line to the library's messages (stderr).
using SoundCardErrorReport = std::function<void(const char *caption, const std::string &text)>;

class Playback {
public:
    static constexpr const char *kErrorCaption = "Error on the sound card.";

    explicit Playback(PlaybackDeviceFactory makeDevice, SoundCardErrorReport report = {});
    ~Playback();
    Playback(const Playback &) = delete;
    Playback &operator=(const Playback &) = delete;

    // Starts playing a copy of samples[0 .. count-1]; the caller's array is
    // not used after the call. Returns a nonzero handle once playing; 0 when
    // a buffer is already playing, count < 1, samples is null, or the device
    // failed (then the error is reported and nothing is left open).
    std::int32_t Open(const std::int16_t *samples, std::int32_t count);

    // Stops the playing buffer. Returns the position in samples at the
    // moment of stopping; 0 when nothing was playing; -1 when another Close
    // is still running.
    std::int32_t Close();

    bool Playing() const { return playing_.load(); }
    bool FormatReady() const;
    // Samples in the library's copy; 0 once the copy is released.
    std::int32_t CopyCount() const;
    // True while a device is open (playing, or waiting for its release).
    bool DeviceOpen() const;

private:
    void SetupPlaybackFormat();
    void PlaybackDone(std::uint32_t generation) noexcept;
    void ReleaseLocked() noexcept;
    void StartReleaser();
    void ReleaserLoop();
    void ShowSoundCardError(const PlaybackDevice *device, int code);

    PlaybackDeviceFactory makeDevice_;
    SoundCardErrorReport report_;

    // Guards everything below up to the releaser's part.
    mutable std::mutex mutex_;
    PlaybackFormat format_;
    bool formatReady_ = false;
    std::unique_ptr<PlaybackDevice> device_;
    std::vector<std::int16_t> copy_;
    std::uint32_t lastGeneration_ = 0;

    // The hand-over between the exports and the completion notice.
    std::atomic<bool> playing_{false};
    std::atomic<std::uint32_t> generation_{0};  // of the device now open
    std::atomic<bool> closing_{false};

    // The releaser: the generation whose device waits for release, or 0.
    std::mutex releaserMutex_;
    std::condition_variable releaserWake_;
    std::uint32_t releaseRequest_ = 0;
    bool releaserStop_ = false;
    std::thread releaser_;
};

}  // namespace vantrel
