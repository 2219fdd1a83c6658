#include "platform/audio_file.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace vantrel {

namespace {

constexpr int kCaptureRate = 8000;

struct SndfileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

}  // namespace

bool ReadAudioFile8k(const std::string &path, std::int32_t maxSamples,
                     std::vector<std::int16_t> *samples, std::string *error) {
    samples->clear();
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (file == nullptr) {
        *error = sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        *error = "the file declares no channels or no sample rate";
        return false;
    }
    const int channels = info.channels;
    const double ratio = static_cast<double>(kCaptureRate) / info.samplerate;
    // Frames of the file needed for maxSamples output samples, with a margin
    // for the converter's filter.
    const sf_count_t wanted = static_cast<sf_count_t>(std::ceil(std::max(0, maxSamples) / ratio)) + 64;
    const sf_count_t frames = std::min<sf_count_t>(info.frames, wanted);

    if (info.samplerate == kCaptureRate) {
        std::vector<short> interleaved(static_cast<std::size_t>(frames * channels));
        const sf_count_t got = sf_readf_short(file.get(), interleaved.data(), frames);
        const sf_count_t kept = std::min<sf_count_t>(got, std::max(0, maxSamples));
        samples->resize(static_cast<std::size_t>(kept));
        for (sf_count_t i = 0; i < kept; ++i) {
            long sum = 0;
            for (int c = 0; c < channels; ++c) sum += interleaved[static_cast<std::size_t>(i * channels + c)];
            (*samples)[static_cast<std::size_t>(i)] =
                static_cast<std::int16_t>(std::lround(static_cast<double>(sum) / channels));
        }
        return true;
    }

    std::vector<float> interleaved(static_cast<std::size_t>(frames * channels));
    const sf_count_t got = sf_readf_float(file.get(), interleaved.data(), frames);
    std::vector<float> mono(static_cast<std::size_t>(got));
    for (sf_count_t i = 0; i < got; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) sum += interleaved[static_cast<std::size_t>(i * channels + c)];
        mono[static_cast<std::size_t>(i)] = sum / static_cast<float>(channels);
    }
    std::vector<float> converted(static_cast<std::size_t>(std::ceil(static_cast<double>(got) * ratio)) + 16);
    SRC_DATA data{};
    data.data_in = mono.data();
    data.input_frames = static_cast<long>(got);
    data.data_out = converted.data();
    data.output_frames = static_cast<long>(converted.size());
    data.src_ratio = ratio;
    if (got > 0) {
        const int err = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
        if (err != 0) {
            *error = src_strerror(err);
            return false;
        }
    }
    const long kept = std::min<long>(data.output_frames_gen, std::max(0, maxSamples));
    samples->resize(static_cast<std::size_t>(kept));
    src_float_to_short_array(converted.data(), samples->data(), static_cast<int>(kept));
    return true;
}

}  // namespace vantrel
