// The features the client sends: frames of 9 floats, 8 liftered LPC cepstra
// then the log10 energy, one frame every 80 samples of 8000 Hz sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessary {

inline constexpr int kNumCep = 8;
inline constexpr int kFrameFloats = kNumCep + 1;
inline constexpr int kWindowLength = 160;
inline constexpr int kFrameShift = 80;
inline constexpr int kFramesPerSecond = 100;

// Analyses a recording as the library's offline analysis does: frames start
// at samples 0, 80, 160, ... while a frame and the sample after it lie in
// the recording, with a fresh analyzer. Returns kFrameFloats per frame.
std::vector<float> AnalyzeRecording(std::span<const std::int16_t> samples);

}  // namespace tessary
