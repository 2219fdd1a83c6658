// The sound card's input through PortAudio. The audio callback writes into
// the capture buffer and then publishes how far it got (release); the tick
// reads that position (acquire) and only the samples below it. The callback
// never writes past the buffer's end, and it allocates, locks and prints
// nothing.
//
// A card that cannot record 8000 Hz 16-bit mono itself is opened at its own
// default rate in 32-bit float and converted with libsamplerate, whose state
// and buffers are made before the stream starts.
//
// A stream that stops, or delivers nothing for two seconds, while the buffer
// is not full is reported once per recording as a library message; the tick's position
// queries notice it, not the callback.
#pragma once

#include <portaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/capture_device.h"
#include "core/stall_watch.h"
#include "platform/portaudio_system.h"
#include "platform/rate_converter.h"

namespace vantrel {

class PortAudioCaptureDevice final : public CaptureDevice {
public:
    // deviceName: a part of the input device's name; "" for the default
    // input. cardRate 0 records at 8000 Hz when the card can, else at the
    // card's default rate; another value makes the card record at that rate.
    explicit PortAudioCaptureDevice(std::string deviceName, double cardRate = 0.0);
    ~PortAudioCaptureDevice() override;
    PortAudioCaptureDevice(const PortAudioCaptureDevice &) = delete;
    PortAudioCaptureDevice &operator=(const PortAudioCaptureDevice &) = delete;

    int Open(std::int16_t *buffer, std::int32_t length) override;
    int Position(std::int32_t *samples) override;
    int Close() override;

    // The rate the card records at (8000 unless converted); 0 when closed.
    double DeviceRate() const { return deviceRate_; }

private:
    static int Callback(const void *input, void *output, unsigned long frameCount,
                        const PaStreamCallbackTimeInfo *timeInfo,
                        PaStreamCallbackFlags statusFlags, void *self);
    int OnInt16(const std::int16_t *input, unsigned long frameCount) noexcept;
    int OnFloat(const float *input, unsigned long frameCount) noexcept;
    int Publish() noexcept;
    PaDeviceIndex FindDevice() const;
    void Release();

    std::string deviceName_;
    double cardRate_;
    std::string openedName_;
    std::unique_ptr<PortAudioSession> session_;
    PaStream *stream_ = nullptr;
    double deviceRate_ = 0.0;

    // Written by the audio callback only, between Open and Close.
    std::int16_t *buffer_ = nullptr;
    std::int32_t length_ = 0;
    std::int32_t written_ = 0;
    RateConverter converter_;
    // The callback's release store; the tick's acquire load.
    std::atomic<std::int32_t> position_{0};

    // The tick's watch over the stream.
    StallWatch stallWatch_;
};

}  // namespace vantrel
