// The seam of playback: the output device that plays one buffer of samples.
// The playback logic pulls from this interface and makes no platform call
// itself; the adapters live one per file in src/platform/, and the tests
// drive the logic with in-memory ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vantrel {

// The wave format of everything the library plays: PCM, mono, 8000 samples
// per second, 16 bits per sample.
struct PlaybackFormat {
    std::int32_t formatTag = 0;       // 1: PCM
    std::int32_t channels = 0;
    std::int32_t samplesPerSecond = 0;
    std::int32_t bytesPerSecond = 0;
    std::int32_t blockAlign = 0;
    std::int32_t bitsPerSample = 0;
    std::int32_t extraBytes = 0;
};

// The device's completion notice: called once, on a thread of the device's
// own, when the buffer has played to its end or has been stopped. The device
// may not be closed from inside the notice.
using PlaybackNotice = std::function<void()>;

// An output that plays one buffer. Open, Prepare, Write, Position and Close
// are called by one thread at a time (the playback logic serialises them);
// the notice comes from the device's thread. Every operation returns 0, or a
// nonzero code whose wording ErrorText gives.
class PlaybackDevice {
public:
    virtual ~PlaybackDevice() = default;

    // Opens the output in format; notice is the completion notice for the
    // buffer that Write will start. Nothing plays yet.
    virtual int Open(const PlaybackFormat &format, PlaybackNotice notice) = 0;

    // Hands over the buffer: samples[0] to samples[count - 1], which stay
    // alive and unchanged until Close has returned.
    virtual int Prepare(const std::int16_t *samples, std::int32_t count) = 0;

    // Starts playing the prepared buffer.
    virtual int Write() = 0;

    // Stores in *samples how many samples have been played since Write, at
    // most the count prepared.
    virtual int Position(std::int32_t *samples) = 0;

    // Stops playing at once and closes. After it has returned the device
    // neither reads the buffer nor calls the notice. Closing a device that
    // failed half-way through opening is allowed.
    virtual int Close() = 0;

    // The sound system's own wording for a code returned by the device.
    virtual std::string ErrorText(int code) const = 0;
};

// Makes the device for the next buffer; may return null when none can be made.
using PlaybackDeviceFactory = std::function<std::unique_ptr<PlaybackDevice>()>;

}  // namespace vantrel
