// The numerics that word models and phone models share: the log densities of
// a model's Gaussians at every frame, each state's emission (the log of the
// weighted sum of its Gaussians), and the best left-to-right path.
#pragma once

#include <Eigen/Core>
#include <limits>
#include <vector>

#include "feature_vectors.h"
#include "word_model.h"

namespace tessary {

using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
inline constexpr float kMinusInf = -std::numeric_limits<float>::infinity();

// log sum_i exp v[i], for n >= 1 values.
float LogSumExp(const float *v, int n);

// The Gaussians of a model packed for one matrix product (word_model.h).
PackedGaussians PackGaussians(const WordModel &model);
// Writes the model's Gaussians into columns [first, first + rows) of packed.
void PackGaussiansInto(const WordModel &model, PackedGaussians &packed, Eigen::Index first);

// The frames as the rows (x², x) that multiply packed Gaussians.
Eigen::Matrix<float, Eigen::Dynamic, 2 * kFeatureDims, Eigen::RowMajor> SquaredAndPlain(const FeatureMatrix &x);

// Log density (plus log weight) of every Gaussian of the model at every frame: T x (S M).
RowMatrix GaussianScores(const WordModel &model, const FeatureMatrix &x);

// Per-state emission scores from per-Gaussian ones: T x S.
RowMatrix StateScores(const RowMatrix &gaussians, int states, int mixtures);

// Every Gaussian of every state split in two, the means moved apart by
// ±0.2 σ along each feature, each half with half the weight.
void SplitEveryGaussian(WordModel &model);

// Best path through b (T x S) that starts in state 0, moves from s to s or
// s + 1 and ends in S - 1: its log probability, and its states in path when
// path is given. -inf when T < S.
float Viterbi(const RowMatrix &b, const std::vector<float> &stay, const std::vector<float> &leave,
              std::vector<int> *path);

}  // namespace tessary
