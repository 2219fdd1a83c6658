#include "frame_features.h"

#include "core/frame_analyzer.h"

namespace tessary {

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

}  // namespace tessary
