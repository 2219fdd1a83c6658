// Frequency warping of the client's cepstra, for speakers whose vocal tracts
// are shorter or longer than those the phone models learnt from.
//
// A longer vocal tract moves every formant down, a shorter one up. Seen
// through the first-order all-pass z^-1 -> (z^-1 - α) / (1 - α z^-1), the
// frequency ω of a spectrum moves to
//   ω' = ω + 2 atan(α sin ω / (1 - α cos ω)),
// up for α > 0 (for a speaker of a long tract) and down for α < 0. The
// cepstra of the warped spectrum are a linear map of the cepstra (the
// recursion below, on the first kNumCep of them, the rest taken as 0):
//   d = c' before the step; for i = q .. 0:
//     c'[0] = c[i] + α d[0];  c'[1] = (1 - α²) d[0] + α d[1];
//     c'[j] = d[j-1] + α (d[j] - c'[j-1])     j = 2 .. q
// The client's cepstra are liftered (frame_features.h); the map takes the
// lifter off, warps and puts it back on. The energy stays as it is.
//
// The map stretches or shrinks the cepstra, so a model scores warped frames
// better or worse for that alone: log |det| of the map, per frame, is what a
// warp's score must be given back to compare with another's.
#pragma once

#include <Eigen/Core>
#include <span>
#include <vector>

#include "frame_features.h"

namespace tessary {

class CepstralWarp {
public:
    explicit CepstralWarp(float alpha);

    float Alpha() const { return alpha_; }
    // log |det| of the map on the kNumCep cepstra; 0 for α = 0.
    float LogDeterminant() const { return logDeterminant_; }
    // The frames (kFrameFloats floats each) with their cepstra warped; a
    // cepstrum that is not finite counts as 0, as the feature vectors take it.
    std::vector<float> Apply(std::span<const float> frames) const;

private:
    float alpha_;
    float logDeterminant_ = 0;
    Eigen::Matrix<float, kNumCep, kNumCep, Eigen::RowMajor> map_;  // liftered in, liftered out
};

}  // namespace tessary
