#include "platform/portaudio_capture_device.h"

#include "core/messages.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vantrel {

namespace {

constexpr double kCaptureRate = 8000.0;
// Frames per callback at the card's rate, fixed so that the converter's
// output buffer can be sized before the stream starts.
constexpr unsigned long kFramesPerBuffer = 256;

}  // namespace

PortAudioCaptureDevice::PortAudioCaptureDevice(std::string deviceName, double cardRate)
    : deviceName_(std::move(deviceName)), cardRate_(cardRate) {}

PortAudioCaptureDevice::~PortAudioCaptureDevice() { Close(); }

PaDeviceIndex PortAudioCaptureDevice::FindDevice() const {
    if (deviceName_.empty()) return Pa_GetDefaultInputDevice();
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo *info = Pa_GetDeviceInfo(i);
        if (info != nullptr && info->maxInputChannels > 0 && info->name != nullptr &&
            std::strstr(info->name, deviceName_.c_str()) != nullptr) {
            return i;
        }
    }
    Report("no input device whose name contains \"" + deviceName_ + "\" (VANTREL_CAPTURE_DEVICE)");
    return paNoDevice;
}

int PortAudioCaptureDevice::Open(std::int16_t *buffer, std::int32_t length) {
    if (stream_ != nullptr || buffer == nullptr || length < 0) return -1;
    session_ = std::make_unique<PortAudioSession>();
    if (!session_->Ok()) {
        Release();
        return -1;
    }
    const PaDeviceIndex device = FindDevice();
    const PaDeviceInfo *info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
    if (info == nullptr || info->maxInputChannels < 1) {
        if (deviceName_.empty())
            Report("no sound card input found (VANTREL_CAPTURE_FILE records from an audio file instead)");
        Release();
        return -1;
    }
    openedName_ = info->name != nullptr ? info->name : "";

    PaStreamParameters input{};
    input.device = device;
    input.channelCount = 1;
    input.sampleFormat = paInt16;
    input.suggestedLatency = info->defaultLowInputLatency;
    double rate = cardRate_ > 0.0 ? cardRate_ : kCaptureRate;
    if (rate != kCaptureRate || Pa_IsFormatSupported(&input, nullptr, rate) != paFormatIsSupported) {
        // The card's own rate, converted down here.
        if (cardRate_ <= 0.0) rate = info->defaultSampleRate;
        input.sampleFormat = paFloat32;
        if (rate <= 0.0 || Pa_IsFormatSupported(&input, nullptr, rate) != paFormatIsSupported ||
            !converter_.Prepare(rate, kCaptureRate, kFramesPerBuffer)) {
            Release();
            return -1;
        }
    }

    buffer_ = buffer;
    length_ = length;
    written_ = 0;
    position_.store(0, std::memory_order_relaxed);
    stallWatch_.Start(length, std::chrono::steady_clock::now());
    deviceRate_ = rate;

    if (Pa_OpenStream(&stream_, &input, nullptr, rate, kFramesPerBuffer, paClipOff, &Callback,
                      this) != paNoError) {
        stream_ = nullptr;
        Release();
        return -1;
    }
    if (Pa_StartStream(stream_) != paNoError) {
        Pa_CloseStream(stream_);
        stream_ = nullptr;
        Release();
        return -1;
    }
    return 0;
}

int PortAudioCaptureDevice::Callback(const void *input, void *, unsigned long frameCount,
                                     const PaStreamCallbackTimeInfo *, PaStreamCallbackFlags,
                                     void *self) {
    auto *device = static_cast<PortAudioCaptureDevice *>(self);
    if (!device->converter_.Prepared()) {
        return device->OnInt16(static_cast<const std::int16_t *>(input), frameCount);
    }
    return device->OnFloat(static_cast<const float *>(input), frameCount);
}

int PortAudioCaptureDevice::Publish() noexcept {
    position_.store(written_, std::memory_order_release);
    return written_ >= length_ ? paComplete : paContinue;
}

int PortAudioCaptureDevice::OnInt16(const std::int16_t *input, unsigned long frameCount) noexcept {
    const auto room = static_cast<unsigned long>(length_ - written_);
    const auto count = static_cast<std::int32_t>(std::min(frameCount, room));
    // Without input data the samples stay silent (zero).
    if (input != nullptr) std::memcpy(buffer_ + written_, input, sizeof(std::int16_t) * count);
    written_ += count;
    return Publish();
}

int PortAudioCaptureDevice::OnFloat(const float *input, unsigned long frameCount) noexcept {
    written_ += converter_.Convert(input, frameCount, buffer_ + written_, length_ - written_);
    return Publish();
}

int PortAudioCaptureDevice::Position(std::int32_t *samples) {
    if (stream_ == nullptr) return -1;
    const std::int32_t position = position_.load(std::memory_order_acquire);
    const StallWatch::Verdict verdict = stallWatch_.Observe(
        position, Pa_IsStreamActive(stream_) == 1, std::chrono::steady_clock::now());
    if (verdict != StallWatch::Verdict::kFine) {
        Report("the sound card input \"" + openedName_ + "\" " +
               (verdict == StallWatch::Verdict::kStopped ? "stopped recording" : "delivers no sound"));
    }
    *samples = position;
    return 0;
}

int PortAudioCaptureDevice::Close() {
    if (stream_ == nullptr) return -1;
    PaError err = paNoError;
    if (Pa_IsStreamStopped(stream_) != 1) err = Pa_AbortStream(stream_);
    const PaError closed = Pa_CloseStream(stream_);
    stream_ = nullptr;
    Release();
    return err == paNoError && closed == paNoError ? 0 : -1;
}

void PortAudioCaptureDevice::Release() {
    converter_.Release();
    buffer_ = nullptr;
    length_ = 0;
    deviceRate_ = 0.0;
    session_.reset();
}

}  // namespace vantrel
