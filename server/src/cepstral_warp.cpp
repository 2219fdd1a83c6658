#include "cepstral_warp.h"

#include <Eigen/LU>
#include <cmath>

namespace tessary {

CepstralWarp::CepstralWarp(float alpha) : alpha_(alpha) {
    constexpr int q = kNumCep;
    using Matrix = Eigen::Matrix<double, q, q>;
    Eigen::Matrix<double, q, 1> lifter;
    for (int i = 0; i < q; ++i) lifter(i) = ClientLifterWeights()[static_cast<std::size_t>(i)];
    // Column k: the warp of the unit cepstrum c[k + 1].
    Matrix warp;
    const double a = alpha;
    for (int k = 0; k < q; ++k) {
        double c[q + 1] = {}, out[q + 1] = {}, d[q + 1];
        c[k + 1] = 1;
        for (int i = q; i >= 0; --i) {
            for (int j = 0; j <= q; ++j) d[j] = out[j];
            out[0] = c[i] + a * d[0];
            out[1] = (1 - a * a) * d[0] + a * d[1];
            for (int j = 2; j <= q; ++j) out[j] = d[j - 1] + a * (d[j] - out[j - 1]);
        }
        for (int j = 0; j < q; ++j) warp(j, k) = out[j + 1];
    }
    const Matrix liftered = lifter.asDiagonal() * warp * lifter.cwiseInverse().asDiagonal();
    map_ = liftered.cast<float>();
    logDeterminant_ = static_cast<float>(std::log(std::abs(warp.determinant())));
}

std::vector<float> CepstralWarp::Apply(std::span<const float> frames) const {
    std::vector<float> out(frames.begin(), frames.end());
    using Cepstra = Eigen::Matrix<float, kNumCep, 1>;
    for (std::size_t at = 0; at + kFrameFloats <= out.size(); at += kFrameFloats) {
        Cepstra c;
        for (int k = 0; k < kNumCep; ++k) c(k) = std::isfinite(out[at + k]) ? out[at + k] : 0.0f;
        Eigen::Map<Cepstra>(out.data() + at) = map_ * c;
    }
    return out;
}

}  // namespace tessary
