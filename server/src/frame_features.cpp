#include "frame_features.h"

#include <charconv>
#include <cmath>

#include "core/frame_analyzer.h"

namespace tessary {

std::optional<std::size_t> FindImplausibleFrame(std::span<const float> frames) {
    const std::size_t count = frames.size() / kFrameFloats;
    for (std::size_t f = 0; f < count; ++f) {
        const float *frame = frames.data() + f * kFrameFloats;
        for (int k = 0; k < kFrameFloats; ++k) {
            const float v = frame[k];
            if (k == kNumCep && std::isinf(v) && v < 0) continue;  // silence
            if (!(std::fabs(v) <= kMaxFeatureMagnitude)) return f;  // NaN fails too
        }
    }
    return std::nullopt;
}

std::vector<float> AnalyzeRecording(std::span<const std::int16_t> samples) {
    std::vector<float> out;
    const auto count = static_cast<std::ptrdiff_t>(samples.size());
    if (count <= kWindowLength) return out;
    // Frames start at 0, 80, ... while start < count - 160: the library's
    // offline analysis with the client's settings, whose analyzer is
    // configured as a new one is (window 160, shift 80, 13 lags, order 12,
    // 8 coefficients, PrevSample 0).
    const auto frames = static_cast<int>((count - kWindowLength + kFrameShift - 1) / kFrameShift);
    vantrel::FrameAnalyzer analyzer;
    out.resize(static_cast<std::size_t>(frames) * kFrameFloats);
    analyzer.AnalyzeFrames(samples.data(), frames, out.data());
    return out;
}

const std::vector<float> &ClientLifterWeights() {
    static const std::vector<float> weights = [] {
        vantrel::FrameAnalyzer analyzer;
        return analyzer.GetLifterWeights();
    }();
    return weights;
}

bool ParseFloats(std::string_view text, std::vector<float> &values) {
    const char *p = text.data();
    const char *stop = text.data() + text.size();
    while (p < stop) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        float v = 0;
        const auto r = std::from_chars(p, stop, v);
        if (r.ec != std::errc()) return false;
        values.push_back(v);
        p = r.ptr;
    }
    return true;
}

}  // namespace tessary
