// The sound card's output through PortAudio, on the default output device.
// The audio callback copies from the prepared buffer and returns paComplete
// after its last sample; the stream's finished callback is the completion
// notice. The callback allocates, locks and prints nothing.
//
// A card that cannot play 8000 Hz 16-bit mono itself is opened at its own
// default rate in 32-bit float, and the whole buffer is converted with
// libsamplerate when it is prepared, before the stream starts.
//
// The position is the time the card has played since the first sample
// reached it (PortAudio's stream time against the first buffer's output
// time), in samples at 8000 Hz, never beyond what has been handed to it.
#pragma once

#include <portaudio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/playback_device.h"
#include "platform/portaudio_system.h"

namespace vantrel {

class PortAudioPlaybackDevice final : public PlaybackDevice {
public:
    // A code of this device's own: the buffer could not be converted.
    static constexpr int kConversionFailed = 1;

    // cardRate 0: the card plays the format's rate itself when it can, else
    // its own default rate; otherwise the card is opened at cardRate and fed
    // converted samples whatever it supports.
    explicit PortAudioPlaybackDevice(double cardRate = 0.0) : cardRate_(cardRate) {}
    ~PortAudioPlaybackDevice() override;
    PortAudioPlaybackDevice(const PortAudioPlaybackDevice &) = delete;
    PortAudioPlaybackDevice &operator=(const PortAudioPlaybackDevice &) = delete;

    int Open(const PlaybackFormat &format, PlaybackNotice notice) override;
    int Prepare(const std::int16_t *samples, std::int32_t count) override;
    int Write() override;
    int Position(std::int32_t *samples) override;
    int Close() override;
    std::string ErrorText(int code) const override;

    // The rate the card plays at (the format's unless converted); 0 when closed.
    double DeviceRate() const { return deviceRate_; }

private:
    static int Callback(const void *input, void *output, unsigned long frameCount,
                        const PaStreamCallbackTimeInfo *timeInfo,
                        PaStreamCallbackFlags statusFlags, void *self);
    static void Finished(void *self);
    int OnOutput(void *output, unsigned long frameCount, double dacTime) noexcept;
    int Fail(PaError err);

    double cardRate_ = 0.0;
    std::unique_ptr<PortAudioSession> session_;
    PaStream *stream_ = nullptr;
    PlaybackNotice notice_;
    std::string error_;
    double formatRate_ = 0.0;
    double deviceRate_ = 0.0;
    bool converting_ = false;

    // Read by the audio callback; fixed before the stream starts.
    const std::int16_t *samples_ = nullptr;  // at the format's rate
    std::vector<float> converted_;           // at the card's rate
    std::int32_t count_ = 0;                 // samples at the format's rate
    std::int64_t frames_ = 0;                // frames the card plays in all

    // Written by the callback only.
    std::int64_t fed_ = 0;
    // The callback's release stores; Position's acquire loads.
    std::atomic<std::int64_t> fedShown_{0};
    std::atomic<double> firstDacTime_{0.0};
};

}  // namespace vantrel
