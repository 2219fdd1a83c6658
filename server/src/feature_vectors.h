// The vectors the word models see, made from the client's frames of speech.
//
// For the speech's T frames, with c[t] its 8 liftered cepstra and e[t] its
// log10 energy (non-finite values count as 0):
//   static  x[t] = (c[t] - mean over t of c,  max(e[t] - max over t of e, -kEnergyRange))
// so that neither the channel's colouring (a constant added to the cepstra)
// nor the loudness (a constant added to e) changes them; then
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

// One row per frame.
using FeatureMatrix = Eigen::Matrix<float, Eigen::Dynamic, kFeatureDims, Eigen::RowMajor>;

// Features of frames of speech (kFrameFloats floats a frame); no rows for
// no frames.
FeatureMatrix MakeFeatures(std::span<const float> speechFrames);

}  // namespace tessary
