// The features the client sends: frames of 9 floats, 8 liftered LPC cepstra
// then the log10 energy, one frame every 80 samples of 8000 Hz sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tessary {

inline constexpr int kNumCep = 8;
inline constexpr int kFrameFloats = kNumCep + 1;
inline constexpr int kWindowLength = 160;
inline constexpr int kFrameShift = 80;
inline constexpr int kFramesPerSecond = 100;

// Largest magnitude a feature of a real recording has, with room to spare:
// liftered cepstra stay within tens and the log10 energy of 16-bit sound
// below 12. Beyond it the distances of matching overflow.
inline constexpr float kMaxFeatureMagnitude = 1e4f;

// The first frame (kFrameFloats floats, whole frames only) holding a value no
// recording gives: a NaN, an infinity other than the minus infinity energy of
// digital silence, or a magnitude above kMaxFeatureMagnitude. Nothing when
// every frame could come from a recording.
std::optional<std::size_t> FindImplausibleFrame(std::span<const float> frames);

// Analyses a recording as the library's offline analysis does: frames start
// at samples 0, 80, 160, ... while a frame and the sample after it lie in
// the recording, with a fresh analyzer. Returns kFrameFloats per frame.
std::vector<float> AnalyzeRecording(std::span<const std::int16_t> samples);

// The weights the client's analysis lifters its kNumCep cepstra with.
const std::vector<float> &ClientLifterWeights();

// Reads numbers separated by blanks, as the vocabulary file writes frames
// and models, onto the end of values. False when something that is not a
// number stands among them; values then holds those before it.
bool ParseFloats(std::string_view text, std::vector<float> &values);

}  // namespace tessary
