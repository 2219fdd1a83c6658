// The vectors the word models see, made from the client's frames of speech.
//
// For the speech's T frames, with c[t] its 8 liftered cepstra and e[t] its
// log10 energy (non-finite values count as 0):
//   mean    m = (kCepstralPriorFrames * kCepstralPrior + sum over t of c[t]) / (kCepstralPriorFrames + T)
//   static  x[t] = (c[t] - m,  max(e[t] - max over t of e, -kEnergyRange))
// The loudness (a constant added to e) does not change them. The channel's
// colouring (a constant added to the cepstra) is removed in the share
// T / (kCepstralPriorFrames + T): nearly whole from a sentence, and in part
// from a short word, whose own mean is mostly the colour of its one vowel
// and would take that vowel away with the channel. kCepstralPrior is the
// mean over the speech of the real training recordings' minor characters
// (tessary-train prints it), so that it belongs to neither main speaker;
// then
//   delta   d[t] = sum_{k=1..2} k (x[t+k] - x[t-k]) / 10
//   accel   a[t] = sum_{k=1..2} k (d[t+k] - d[t-k]) / 10
// with frames beyond either end taken to be the end frame. The feature
// vector is (x[t], d[t], a[t]): kFeatureDims floats.
#pragma once

#include <Eigen/Core>
#include <span>

namespace tessary {

inline constexpr int kStaticDims = 9;
inline constexpr int kFeatureDims = 3 * kStaticDims;
inline constexpr float kEnergyRange = 4.0f;
inline constexpr float kCepstralPriorFrames = 30.0f;
inline constexpr float kCepstralPrior[] = {-0.0379f, -1.2007f, 1.7727f, -1.3108f, 0.3122f, -0.8671f, 0.1117f, -0.1417f};

// One row per frame.
using FeatureMatrix = Eigen::Matrix<float, Eigen::Dynamic, kFeatureDims, Eigen::RowMajor>;

// Features of frames of speech (kFrameFloats floats a frame); no rows for
// no frames.
FeatureMatrix MakeFeatures(std::span<const float> speechFrames);

}  // namespace tessary
