#include "feature_vectors.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "frame_features.h"

namespace tessary {
namespace {

float Clean(float v) { return std::isfinite(v) ? v : 0.0f; }

// Regression over ±2 frames of the columns [from, from + kStaticDims) into
// the columns [to, to + kStaticDims).
void Regression(FeatureMatrix &f, int from, int to) {
    const int n = static_cast<int>(f.rows());
    for (int t = 0; t < n; ++t) {
        for (int k = 0; k < kStaticDims; ++k) {
            float sum = 0;
            for (int j = 1; j <= 2; ++j) {
                const int after = std::min(n - 1, t + j);
                const int before = std::max(0, t - j);
                sum += static_cast<float>(j) * (f(after, from + k) - f(before, from + k));
            }
            f(t, to + k) = sum / 10.0f;
        }
    }
}

}  // namespace

FeatureMatrix MakeFeatures(std::span<const float> speechFrames) {
    const auto n = static_cast<Eigen::Index>(speechFrames.size() / kFrameFloats);
    FeatureMatrix f(n, kFeatureDims);
    if (n == 0) return f;

    // Cepstra less their mean, drawn towards the prior; energy below the peak.
    float peak = 0;
    for (Eigen::Index t = 0; t < n; ++t) {
        const float *in = speechFrames.data() + t * kFrameFloats;
        for (int k = 0; k < kNumCep; ++k) f(t, k) = Clean(in[k]);
        const float e = Clean(in[kNumCep]);
        f(t, kNumCep) = std::max(e, 0.0f);
        peak = std::max(peak, f(t, kNumCep));
    }
    static_assert(std::size(kCepstralPrior) == kNumCep);
    const Eigen::Map<const Eigen::RowVectorXf> prior(kCepstralPrior, kNumCep);
    const Eigen::RowVectorXf mean = (kCepstralPriorFrames * prior + f.leftCols(kNumCep).colwise().sum()) /
                                    (kCepstralPriorFrames + static_cast<float>(n));
    f.leftCols(kNumCep).rowwise() -= mean;
    for (Eigen::Index t = 0; t < n; ++t) f(t, kNumCep) = std::max(f(t, kNumCep) - peak, -kEnergyRange);

    Regression(f, 0, kStaticDims);
    Regression(f, kStaticDims, 2 * kStaticDims);
    return f;
}

}  // namespace tessary
