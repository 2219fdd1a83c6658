#include "platform/rate_converter.h"

#include <algorithm>

namespace vantrel {

RateConverter::~RateConverter() { Release(); }

bool RateConverter::Prepare(double inputRate, double outputRate, unsigned long maxInputFrames) {
    Release();
    if (inputRate <= 0.0 || outputRate <= 0.0) return false;
    int err = 0;
    state_ = src_new(SRC_SINC_MEDIUM_QUALITY, 1, &err);
    if (state_ == nullptr) return false;
    ratio_ = outputRate / inputRate;
    converted_.assign(static_cast<std::size_t>(static_cast<double>(maxInputFrames) * ratio_) + 64, 0.0f);
    return true;
}

void RateConverter::Release() {
    if (state_ != nullptr) state_ = src_delete(state_);
    converted_ = {};
}

std::int32_t RateConverter::Convert(const float *input, unsigned long frames, std::int16_t *out,
                                    std::int32_t room) noexcept {
    if (state_ == nullptr || input == nullptr) return 0;
    std::int32_t written = 0;
    SRC_DATA data{};
    data.data_in = input;
    data.input_frames = static_cast<long>(frames);
    data.src_ratio = ratio_;
    for (;;) {
        data.data_out = converted_.data();
        data.output_frames = static_cast<long>(converted_.size());
        data.output_frames_gen = 0;
        data.input_frames_used = 0;
        if (src_process(state_, &data) != 0) break;
        const auto count = static_cast<std::int32_t>(std::min<long>(data.output_frames_gen, room - written));
        src_float_to_short_array(converted_.data(), out + written, count);
        written += count;
        data.data_in += data.input_frames_used;
        data.input_frames -= data.input_frames_used;
        const bool outputFull = data.output_frames_gen == data.output_frames;
        if (data.input_frames == 0 && !outputFull) break;
        if (data.input_frames_used == 0 && data.output_frames_gen == 0) break;
    }
    return written;
}

}  // namespace vantrel
