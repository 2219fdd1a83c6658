// Word models: left-to-right hidden Markov models whose states emit
// diagonal Gaussian mixtures over the feature vectors of feature_vectors.h.
//
// A model of S states, each with M Gaussians g = (w, μ, σ²):
//   emission  log b_s(x) = log sum_m w_sm N(x; μ_sm, diag σ²_sm)
//             log N(x; μ, σ²) = -0.5 (D log 2π + sum_d log σ²_d + sum_d (x_d - μ_d)² / σ²_d)
//   path      starts in state 0 at the first frame, moves from s only to s
//             (log probability stay_s) or s + 1 (leave_s), ends in S - 1 at
//             the last frame.
// The score of an utterance x_1 .. x_T is the log probability of its best
// path (Viterbi) divided by T, so that utterances of any length compare;
// larger is closer, and an utterance shorter than S frames scores -inf.
//
// Training (TrainWordModel) is segmental k-means: the examples are first cut
// into S equal parts, then every round estimates the Gaussians from the
// frames each state holds (each frame going to its most likely Gaussian) and
// re-aligns every example by Viterbi; the Gaussians are split in two (means
// moved by ±0.2 σ) until there are maxMixtures of them. It is deterministic.
//
// A user's recordings of a word either adapt a trained model (AdaptWordModel:
// maximum a posteriori means, μ' = (τ μ + sum x) / (τ + n) over the frames
// the aligned Gaussian holds) or make a model of their own (ModelFromRecordings:
// one Gaussian a state, whose variance is drawn towards a prior,
// σ²' = (τ σ²_prior + sum (x - μ)²) / (τ + n)).
#pragma once

#include <Eigen/Core>
#include <string>
#include <string_view>
#include <vector>

#include "feature_vectors.h"

namespace tessary {

using GaussianRows = Eigen::Matrix<float, Eigen::Dynamic, kFeatureDims, Eigen::RowMajor>;
using FeatureVector = Eigen::Matrix<float, 1, kFeatureDims>;

// Gaussians packed for one matrix product: column g holds (-0.5 / σ², μ / σ²),
// so that log N_g(x) + log w_g = constant_g + (x², x) · column g.
struct PackedGaussians {
    Eigen::Matrix<float, 2 * kFeatureDims, Eigen::Dynamic> columns;
    Eigen::VectorXf constants;
};

struct WordModel {
    int states = 0;
    int mixtures = 0;             // Gaussians per state
    std::vector<float> stay;      // log probability of staying in state s
    std::vector<float> leave;     // log probability of moving on from s
    GaussianRows means;           // row s * mixtures + m
    GaussianRows variances;       // same rows
    Eigen::VectorXf logWeights;   // same rows; each state's weights add up to 1

    bool Empty() const { return states == 0; }
};

struct TrainingOptions {
    float framesPerState = 3.0f;  // S = median frames / this, within the limits below
    int minStates = 4;
    int maxStates = 16;
    int maxMixtures = 16;
    int rounds = 4;               // alignments per mixture size
    float varianceFloor = 0.05f;  // of the examples' variance, per feature
};

// Trains a model from examples of one word. Returns an empty model when no
// example is long enough.
WordModel TrainWordModel(const std::vector<FeatureMatrix> &examples, const TrainingOptions &options = {});

// The trained model with its means drawn towards the recordings.
WordModel AdaptWordModel(const WordModel &trained, const std::vector<FeatureMatrix> &recordings, float tau = 8.0f);

// A model of the recordings shaped by prior: prior's states and transitions,
// one Gaussian a state, drawn from the moments of prior's Gaussians of the
// state towards the frames of the recordings that Viterbi aligns to it:
// μ' = (τ μ + sum x) / (τ + n), σ²' = (τ σ² + sum (x - μ')²) / (τ + n).
// Empty when no recording fits prior.
WordModel ModelOfRecordingsAfter(const WordModel &prior, const std::vector<FeatureMatrix> &recordings,
                                 float tau = 8.0f);

// A model of recordings alone, with variances drawn towards priorVariance.
// Empty when there is no recording of at least 4 frames.
WordModel ModelFromRecordings(const std::vector<FeatureMatrix> &recordings, const FeatureVector &priorVariance,
                              float tau = 8.0f);

// The mean of the variances of the models' Gaussians, or ones when there are
// no models.
FeatureVector MeanVariance(const std::vector<const WordModel *> &models);

// Score of one utterance against one model (see above).
float ScoreUtterance(const WordModel &model, const FeatureMatrix &x);

// Text of a model, one line without tabs or newlines, and back. ParseModel
// throws std::runtime_error saying what is wrong.
std::string SerializeModel(const WordModel &model);
WordModel ParseModel(std::string_view text);

}  // namespace tessary
