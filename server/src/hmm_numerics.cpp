#include "hmm_numerics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace tessary {
namespace {
const float kLog2Pi = static_cast<float>(std::log(2.0 * std::numbers::pi));
}  // namespace

float LogSumExp(const float *v, int n) {
    float top = v[0];
    for (int i = 1; i < n; ++i) top = std::max(top, v[i]);
    if (n == 1 || !std::isfinite(top)) return top;
    // Terms more than kNegligible below the largest change the sum by less
    // than a float can tell; skipping them saves most of the exponentials.
    constexpr float kNegligible = 20.0f;
    float sum = 0;
    for (int i = 0; i < n; ++i)
        if (const float d = v[i] - top; d > -kNegligible) sum += std::exp(d);
    return top + std::log(sum);
}

void PackGaussiansInto(const WordModel &model, PackedGaussians &packed, Eigen::Index first) {
    const Eigen::Index g = model.means.rows();
    const GaussianRows precision = model.variances.cwiseInverse();
    packed.columns.block(0, first, kFeatureDims, g) = (-0.5f * precision).transpose();
    packed.columns.block(kFeatureDims, first, kFeatureDims, g) = model.means.cwiseProduct(precision).transpose();
    for (Eigen::Index i = 0; i < g; ++i)
        packed.constants(first + i) =
            model.logWeights(i) - 0.5f * (kFeatureDims * kLog2Pi + model.variances.row(i).array().log().sum() +
                                          model.means.row(i).cwiseProduct(precision.row(i)).dot(model.means.row(i)));
}

PackedGaussians PackGaussians(const WordModel &model) {
    PackedGaussians packed;
    packed.columns.resize(2 * kFeatureDims, model.means.rows());
    packed.constants.resize(model.means.rows());
    PackGaussiansInto(model, packed, 0);
    return packed;
}

Eigen::Matrix<float, Eigen::Dynamic, 2 * kFeatureDims, Eigen::RowMajor> SquaredAndPlain(const FeatureMatrix &x) {
    Eigen::Matrix<float, Eigen::Dynamic, 2 * kFeatureDims, Eigen::RowMajor> f(x.rows(), 2 * kFeatureDims);
    f.leftCols(kFeatureDims) = x.array().square().matrix();
    f.rightCols(kFeatureDims) = x;
    return f;
}

RowMatrix GaussianScores(const WordModel &model, const FeatureMatrix &x) {
    const PackedGaussians packed = PackGaussians(model);
    RowMatrix scores = SquaredAndPlain(x) * packed.columns;
    scores.rowwise() += packed.constants.transpose();
    return scores;
}

RowMatrix StateScores(const RowMatrix &gaussians, int states, int mixtures) {
    if (mixtures == 1) return gaussians.leftCols(states);
    RowMatrix b(gaussians.rows(), states);
    // A frame at a time, as a mixtures x states array: each state's largest
    // score, then the exponentials of the whole frame at once (vectorised),
    // then each state's sum. A state none of whose Gaussians is finite keeps
    // its largest. Differences are held at or above -80 first: a term of
    // exp(-80) adds nothing to a sum of at least 1, and the exponential of
    // a far lower one takes its slow underflow path.
    constexpr float kFloor = -80.0f;
    Eigen::Array<float, 1, Eigen::Dynamic> top(states), base(states);
    Eigen::ArrayXXf shifted(mixtures, states);
    for (Eigen::Index t = 0; t < gaussians.rows(); ++t) {
        const Eigen::Map<const Eigen::ArrayXXf> frame(gaussians.row(t).data(), mixtures, states);
        top = frame.colwise().maxCoeff();
        base = top.isFinite().select(top, 0.0f);
        shifted = (frame.rowwise() - base).max(kFloor).exp();
        b.row(t) = top.isFinite().select(top + shifted.colwise().sum().log(), top);
    }
    return b;
}

void SplitEveryGaussian(WordModel &model) {
    const int m = model.mixtures;
    GaussianRows means(model.means.rows() * 2, kFeatureDims);
    GaussianRows variances(means.rows(), kFeatureDims);
    Eigen::VectorXf weights(means.rows());
    for (Eigen::Index r = 0; r < model.means.rows(); ++r) {
        const FeatureVector offset = 0.2f * model.variances.row(r).cwiseSqrt();
        const Eigen::Index s = r / m;
        const Eigen::Index k = r % m;
        const Eigen::Index a = s * 2 * m + 2 * k;
        means.row(a) = model.means.row(r) + offset;
        means.row(a + 1) = model.means.row(r) - offset;
        variances.row(a) = variances.row(a + 1) = model.variances.row(r);
        weights(a) = weights(a + 1) = model.logWeights(r) - std::log(2.0f);
    }
    model.means = std::move(means);
    model.variances = std::move(variances);
    model.logWeights = std::move(weights);
    model.mixtures = 2 * m;
}

float Viterbi(const RowMatrix &b, const std::vector<float> &stay, const std::vector<float> &leave,
              std::vector<int> *path) {

    const auto frames = static_cast<int>(b.rows());
    const auto states = static_cast<int>(b.cols());
    if (frames < states || states == 0) return kMinusInf;
    std::vector<float> delta(static_cast<std::size_t>(states), kMinusInf);
    std::vector<std::uint8_t> moved;  // per frame and state: came from s - 1
    if (path) moved.assign(static_cast<std::size_t>(frames) * states, 0);
    delta[0] = b(0, 0);
    for (int t = 1; t < frames; ++t) {
        // States that cannot be reached yet, or from which the end cannot be.
        const int top = std::min(states - 1, t);
        const int bottom = std::max(0, states - (frames - t));
        for (int s = top; s >= bottom; --s) {
            const float kept = delta[static_cast<std::size_t>(s)] + stay[static_cast<std::size_t>(s)];
            const float came = s > 0 ? delta[static_cast<std::size_t>(s - 1)] + leave[static_cast<std::size_t>(s - 1)]
                                     : kMinusInf;
            if (path) moved[static_cast<std::size_t>(t) * states + s] = came > kept;
            delta[static_cast<std::size_t>(s)] = std::max(kept, came) + b(t, s);
        }
        if (bottom > 0) delta[static_cast<std::size_t>(bottom - 1)] = kMinusInf;
    }
    const float total = delta[static_cast<std::size_t>(states - 1)];
    if (path && std::isfinite(total)) {
        path->assign(static_cast<std::size_t>(frames), 0);
        int s = states - 1;
        for (int t = frames - 1; t >= 0; --t) {
            (*path)[static_cast<std::size_t>(t)] = s;
            if (t > 0 && moved[static_cast<std::size_t>(t) * states + s]) --s;
        }
    }
    return total;
}

}  // namespace tessary
