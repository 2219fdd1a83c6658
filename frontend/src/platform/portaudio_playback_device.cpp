#include "platform/portaudio_playback_device.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace vantrel {

namespace {

constexpr unsigned long kFramesPerBuffer = 256;

}  // namespace

PortAudioPlaybackDevice::~PortAudioPlaybackDevice() { Close(); }

int PortAudioPlaybackDevice::Fail(PaError err) {
    error_ = Pa_GetErrorText(err);
    if (err == paUnanticipatedHostError) {
        const PaHostErrorInfo *host = Pa_GetLastHostErrorInfo();
        if (host != nullptr && host->errorText != nullptr && host->errorText[0] != '\0') {
            error_ += std::string(": ") + host->errorText;
        }
    }
    return err;
}

int PortAudioPlaybackDevice::Open(const PlaybackFormat &format, PlaybackNotice notice) {
    if (session_ != nullptr) return Fail(paStreamIsNotStopped);
    if (format.formatTag != 1 || format.channels != 1 || format.bitsPerSample != 16 ||
        format.samplesPerSecond < 1) {
        return Fail(paSampleFormatNotSupported);
    }
    session_ = std::make_unique<PortAudioSession>();
    if (!session_->Ok()) {
        error_ = session_->Error();
        session_.reset();
        return paNotInitialized;
    }
    const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
    const PaDeviceInfo *info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
    if (info == nullptr || info->maxOutputChannels < 1) return Fail(paDeviceUnavailable);

    PaStreamParameters output{};
    output.device = device;
    output.channelCount = 1;
    output.sampleFormat = paInt16;
    output.suggestedLatency = info->defaultLowOutputLatency;
    formatRate_ = format.samplesPerSecond;
    double rate = formatRate_;
    converting_ = false;
    if (cardRate_ > 0.0 || Pa_IsFormatSupported(nullptr, &output, rate) != paFormatIsSupported) {
        // The card's own rate; the buffer is converted to it.
        rate = cardRate_ > 0.0 ? cardRate_ : info->defaultSampleRate;
        output.sampleFormat = paFloat32;
        const PaError supported = rate > 0.0 ? Pa_IsFormatSupported(nullptr, &output, rate)
                                             : paInvalidSampleRate;
        if (supported != paFormatIsSupported) return Fail(supported);
        converting_ = true;
    }
    deviceRate_ = rate;
    const PaError err = Pa_OpenStream(&stream_, nullptr, &output, rate, kFramesPerBuffer,
                                      paClipOff, &Callback, this);
    if (err != paNoError) {
        stream_ = nullptr;
        return Fail(err);
    }
    const PaError finished = Pa_SetStreamFinishedCallback(stream_, &Finished);
    if (finished != paNoError) return Fail(finished);
    notice_ = std::move(notice);
    return 0;
}

int PortAudioPlaybackDevice::Prepare(const std::int16_t *samples, std::int32_t count) {
    if (stream_ == nullptr) return Fail(paBadStreamPtr);
    if (samples == nullptr || count < 1) return Fail(paBadBufferPtr);
    samples_ = samples;
    count_ = count;
    frames_ = count;
    if (converting_) {
        std::vector<float> input(static_cast<std::size_t>(count));
        src_short_to_float_array(samples, input.data(), count);
        const double ratio = deviceRate_ / formatRate_;
        converted_.assign(static_cast<std::size_t>(std::ceil(count * ratio)) + 64, 0.0f);
        SRC_DATA data{};
        data.data_in = input.data();
        data.input_frames = count;
        data.data_out = converted_.data();
        data.output_frames = static_cast<long>(converted_.size());
        data.src_ratio = ratio;
        const int err = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
        if (err != 0) {
            error_ = src_strerror(err);
            return kConversionFailed;
        }
        frames_ = data.output_frames_gen;
    }
    fed_ = 0;
    fedShown_.store(0, std::memory_order_relaxed);
    firstDacTime_.store(0.0, std::memory_order_relaxed);
    return 0;
}

int PortAudioPlaybackDevice::Write() {
    if (stream_ == nullptr || samples_ == nullptr) return Fail(paBadStreamPtr);
    const PaError err = Pa_StartStream(stream_);
    return err == paNoError ? 0 : Fail(err);
}

int PortAudioPlaybackDevice::Callback(const void *, void *output, unsigned long frameCount,
                                      const PaStreamCallbackTimeInfo *timeInfo,
                                      PaStreamCallbackFlags, void *self) {
    const double dacTime = timeInfo != nullptr ? timeInfo->outputBufferDacTime : 0.0;
    return static_cast<PortAudioPlaybackDevice *>(self)->OnOutput(output, frameCount, dacTime);
}

int PortAudioPlaybackDevice::OnOutput(void *output, unsigned long frameCount,
                                      double dacTime) noexcept {
    if (fed_ == 0 && dacTime > 0.0) firstDacTime_.store(dacTime, std::memory_order_relaxed);
    const auto count = static_cast<std::int64_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(frameCount), frames_ - fed_));
    if (converting_) {
        auto *out = static_cast<float *>(output);
        std::memcpy(out, converted_.data() + fed_, sizeof(float) * static_cast<std::size_t>(count));
        std::fill(out + count, out + frameCount, 0.0f);
    } else {
        auto *out = static_cast<std::int16_t *>(output);
        std::memcpy(out, samples_ + fed_, sizeof(std::int16_t) * static_cast<std::size_t>(count));
        std::fill(out + count, out + frameCount, std::int16_t{0});
    }
    fed_ += count;
    fedShown_.store(fed_, std::memory_order_release);
    return fed_ >= frames_ ? paComplete : paContinue;
}

void PortAudioPlaybackDevice::Finished(void *self) {
    auto *device = static_cast<PortAudioPlaybackDevice *>(self);
    if (device->notice_) device->notice_();
}

int PortAudioPlaybackDevice::Position(std::int32_t *samples) {
    if (stream_ == nullptr) return Fail(paBadStreamPtr);
    const double toFormat = formatRate_ / deviceRate_;
    // Never beyond what the card has been given.
    const double fed = static_cast<double>(fedShown_.load(std::memory_order_acquire)) * toFormat;
    double played = fed;
    const double first = firstDacTime_.load(std::memory_order_relaxed);
    const double now = Pa_GetStreamTime(stream_);
    if (first > 0.0 && now > 0.0) played = std::min(fed, (now - first) * formatRate_);
    *samples = static_cast<std::int32_t>(
        std::clamp<double>(std::floor(played), 0.0, static_cast<double>(count_)));
    return 0;
}

int PortAudioPlaybackDevice::Close() {
    int result = 0;
    if (stream_ != nullptr) {
        // Stopping raises the finished callback once more; the notice that
        // follows a stop is for the logic to ignore.
        if (Pa_IsStreamStopped(stream_) != 1) result = Pa_AbortStream(stream_);
        const PaError closed = Pa_CloseStream(stream_);
        if (result == 0) result = closed;
        stream_ = nullptr;
    }
    session_.reset();
    notice_ = nullptr;
    samples_ = nullptr;
    converted_ = {};
    count_ = 0;
    frames_ = 0;
    deviceRate_ = 0.0;
    return result;
}

std::string PortAudioPlaybackDevice::ErrorText(int code) const {
    if (!error_.empty()) return error_;
    return Pa_GetErrorText(code);
}

}  // namespace vantrel
