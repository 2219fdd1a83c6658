#include "word_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "frame_features.h"
#include "hmm_numerics.h"

namespace tessary {
namespace {

std::vector<int> UniformPath(Eigen::Index frames, int states) {
    std::vector<int> path(static_cast<std::size_t>(frames));
    for (Eigen::Index t = 0; t < frames; ++t) path[static_cast<std::size_t>(t)] = static_cast<int>(t * states / frames);
    return path;
}

// Transition log probabilities from paths, with a light prior of two stays
// and one move per state.
void EstimateTransitions(WordModel &model, const std::vector<std::vector<int>> &paths) {
    std::vector<double> frames(static_cast<std::size_t>(model.states), 2.0 + 1.0);
    std::vector<double> moves(static_cast<std::size_t>(model.states), 1.0);
    for (const auto &path : paths) {
        if (path.empty()) continue;
        for (std::size_t t = 0; t < path.size(); ++t) {
            frames[static_cast<std::size_t>(path[t])] += 1;
            if (t + 1 < path.size() && path[t + 1] != path[t]) moves[static_cast<std::size_t>(path[t])] += 1;
        }
    }
    model.stay.resize(static_cast<std::size_t>(model.states));
    model.leave.resize(static_cast<std::size_t>(model.states));
    for (int s = 0; s < model.states; ++s) {
        const double p = std::clamp(moves[static_cast<std::size_t>(s)] / frames[static_cast<std::size_t>(s)], 0.05, 0.95);
        model.leave[static_cast<std::size_t>(s)] = static_cast<float>(std::log(p));
        model.stay[static_cast<std::size_t>(s)] = static_cast<float>(std::log(1.0 - p));
    }
}

int MedianFrames(const std::vector<FeatureMatrix> &examples) {
    std::vector<Eigen::Index> lengths;
    for (const auto &e : examples) lengths.push_back(e.rows());
    if (lengths.empty()) return 0;
    std::nth_element(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2), lengths.end());
    return static_cast<int>(lengths[lengths.size() / 2]);
}

}  // namespace

WordModel TrainWordModel(const std::vector<FeatureMatrix> &examples, const TrainingOptions &options) {
    WordModel model;
    const int median = MedianFrames(examples);
    const int states = std::clamp(static_cast<int>(std::lround(median / options.framesPerState)), options.minStates,
                                  options.maxStates);
    std::vector<const FeatureMatrix *> usable;
    for (const auto &e : examples)
        if (e.rows() >= states) usable.push_back(&e);
    if (usable.empty()) return model;

    // The variance floor, from all frames.
    FeatureVector sum = FeatureVector::Zero();
    FeatureVector squares = FeatureVector::Zero();
    double count = 0;
    for (const auto *e : usable) {
        sum += e->colwise().sum();
        squares += e->array().square().matrix().colwise().sum();
        count += static_cast<double>(e->rows());
    }
    const FeatureVector globalMean = sum / static_cast<float>(count);
    const FeatureVector floor =
        options.varianceFloor *
        (squares / static_cast<float>(count) - globalMean.cwiseProduct(globalMean)).cwiseMax(1e-6f);

    model.states = states;
    model.mixtures = 1;
    std::vector<std::vector<int>> paths;
    for (const auto *e : usable) paths.push_back(UniformPath(e->rows(), states));

    // Estimates the Gaussians from the paths, each frame going to its most
    // likely Gaussian of its state (the only one at first).
    auto estimate = [&](bool haveGaussians) {
        const Eigen::Index rows = static_cast<Eigen::Index>(states) * model.mixtures;
        GaussianRows sums = GaussianRows::Zero(rows, kFeatureDims);
        GaussianRows sq = GaussianRows::Zero(rows, kFeatureDims);
        Eigen::VectorXd n = Eigen::VectorXd::Zero(rows);
        for (std::size_t i = 0; i < usable.size(); ++i) {
            const FeatureMatrix &x = *usable[i];
            const auto &path = paths[i];
            if (path.empty()) continue;
            RowMatrix g;
            if (haveGaussians && model.mixtures > 1) g = GaussianScores(model, x);
            for (Eigen::Index t = 0; t < x.rows(); ++t) {
                const int s = path[static_cast<std::size_t>(t)];
                int m = 0;
                if (g.size()) {
                    const float *row = g.row(t).data() + s * model.mixtures;
                    m = static_cast<int>(std::max_element(row, row + model.mixtures) - row);
                }
                const Eigen::Index r = static_cast<Eigen::Index>(s) * model.mixtures + m;
                sums.row(r) += x.row(t);
                sq.row(r) += x.row(t).array().square().matrix();
                n(r) += 1;
            }
        }
        for (int s = 0; s < states; ++s) {
            double stateFrames = 0;
            for (int m = 0; m < model.mixtures; ++m) stateFrames += n(s * model.mixtures + m);
            for (int m = 0; m < model.mixtures; ++m) {
                const Eigen::Index r = static_cast<Eigen::Index>(s) * model.mixtures + m;
                if (n(r) < 3) {
                    // Too few frames: keep what the Gaussian was, with a small weight.
                    if (!haveGaussians) {
                        model.means.row(r) = globalMean;
                        model.variances.row(r) = floor * 20.0f;
                    }
                    model.logWeights(r) = std::log(1e-3f);
                    continue;
                }
                const FeatureVector mean = sums.row(r) / static_cast<float>(n(r));
                model.means.row(r) = mean;
                model.variances.row(r) =
                    (sq.row(r) / static_cast<float>(n(r)) - mean.cwiseProduct(mean)).cwiseMax(floor);
                model.logWeights(r) = static_cast<float>(std::log(n(r) / stateFrames));
            }
            // The weights of a state add up to 1.
            const Eigen::Index first = static_cast<Eigen::Index>(s) * model.mixtures;
            const float total = LogSumExp(model.logWeights.data() + first, model.mixtures);
            model.logWeights.segment(first, model.mixtures).array() -= total;
        }
    };
    auto align = [&] {
        for (std::size_t i = 0; i < usable.size(); ++i) {
            const RowMatrix b = StateScores(GaussianScores(model, *usable[i]), states, model.mixtures);
            std::vector<int> path;
            if (std::isfinite(Viterbi(b, model.stay, model.leave, &path))) paths[i] = std::move(path);
        }
    };

    model.means.resize(states, kFeatureDims);
    model.variances.resize(states, kFeatureDims);
    model.logWeights.resize(states);
    estimate(false);
    EstimateTransitions(model, paths);
    for (;;) {
        for (int round = 0; round < options.rounds; ++round) {
            align();
            estimate(true);
            EstimateTransitions(model, paths);
        }
        if (model.mixtures * 2 > options.maxMixtures) break;
        SplitEveryGaussian(model);
    }
    return model;
}

WordModel AdaptWordModel(const WordModel &trained, const std::vector<FeatureMatrix> &recordings, float tau) {
    WordModel model = trained;
    GaussianRows sums = GaussianRows::Zero(trained.means.rows(), kFeatureDims);
    Eigen::VectorXf n = Eigen::VectorXf::Zero(trained.means.rows());
    for (const FeatureMatrix &x : recordings) {
        const RowMatrix g = GaussianScores(trained, x);
        const RowMatrix b = StateScores(g, trained.states, trained.mixtures);
        std::vector<int> path;
        if (!std::isfinite(Viterbi(b, trained.stay, trained.leave, &path))) continue;
        for (Eigen::Index t = 0; t < x.rows(); ++t) {
            const int s = path[static_cast<std::size_t>(t)];
            const float *row = g.row(t).data() + s * trained.mixtures;
            const int m = static_cast<int>(std::max_element(row, row + trained.mixtures) - row);
            const Eigen::Index r = static_cast<Eigen::Index>(s) * trained.mixtures + m;
            sums.row(r) += x.row(t);
            n(r) += 1;
        }
    }
    for (Eigen::Index r = 0; r < model.means.rows(); ++r)
        model.means.row(r) = (tau * trained.means.row(r) + sums.row(r)) / (tau + n(r));
    return model;
}

WordModel ModelFromRecordings(const std::vector<FeatureMatrix> &recordings, const FeatureVector &priorVariance,
                              float tau) {
    WordModel model;
    std::vector<const FeatureMatrix *> usable;
    for (const auto &r : recordings)
        if (r.rows() >= 4) usable.push_back(&r);
    if (usable.empty()) return model;
    Eigen::Index shortest = usable.front()->rows();
    std::vector<FeatureMatrix> kept;
    for (const auto *r : usable) {
        shortest = std::min(shortest, r->rows());
        kept.push_back(*r);
    }
    const int states = static_cast<int>(
        std::clamp<Eigen::Index>(std::lround(MedianFrames(kept) / 4.0), 3, std::min<Eigen::Index>(16, shortest)));
    model.states = states;
    model.mixtures = 1;
    model.means.resize(states, kFeatureDims);
    model.variances.resize(states, kFeatureDims);
    model.logWeights = Eigen::VectorXf::Zero(states);
    std::vector<std::vector<int>> paths;
    for (const auto *r : usable) paths.push_back(UniformPath(r->rows(), states));
    for (int round = 0; round < 4; ++round) {
        GaussianRows sums = GaussianRows::Zero(states, kFeatureDims);
        Eigen::VectorXf n = Eigen::VectorXf::Zero(states);
        for (std::size_t i = 0; i < usable.size(); ++i)
            for (Eigen::Index t = 0; t < usable[i]->rows(); ++t) {
                sums.row(paths[i][static_cast<std::size_t>(t)]) += usable[i]->row(t);
                n(paths[i][static_cast<std::size_t>(t)]) += 1;
            }
        for (int s = 0; s < states; ++s) model.means.row(s) = sums.row(s) / std::max(1.0f, n(s));
        GaussianRows sq = GaussianRows::Zero(states, kFeatureDims);
        for (std::size_t i = 0; i < usable.size(); ++i)
            for (Eigen::Index t = 0; t < usable[i]->rows(); ++t) {
                const int s = paths[i][static_cast<std::size_t>(t)];
                sq.row(s) += (usable[i]->row(t) - model.means.row(s)).array().square().matrix();
            }
        for (int s = 0; s < states; ++s) model.variances.row(s) = (tau * priorVariance + sq.row(s)) / (tau + n(s));
        EstimateTransitions(model, paths);
        for (std::size_t i = 0; i < usable.size(); ++i) {
            const RowMatrix b = StateScores(GaussianScores(model, *usable[i]), states, 1);
            std::vector<int> path;
            if (std::isfinite(Viterbi(b, model.stay, model.leave, &path))) paths[i] = std::move(path);
        }
    }
    return model;
}

WordModel ModelOfRecordingsAfter(const WordModel &prior, const std::vector<FeatureMatrix> &recordings, float tau) {
    const int states = prior.states;
    const int m = prior.mixtures;
    GaussianRows sums = GaussianRows::Zero(states, kFeatureDims);
    GaussianRows squares = GaussianRows::Zero(states, kFeatureDims);
    Eigen::VectorXf n = Eigen::VectorXf::Zero(states);
    bool any = false;
    for (const FeatureMatrix &x : recordings) {
        const RowMatrix b = StateScores(GaussianScores(prior, x), states, m);
        std::vector<int> path;
        if (!std::isfinite(Viterbi(b, prior.stay, prior.leave, &path))) continue;
        any = true;
        for (Eigen::Index t = 0; t < x.rows(); ++t) {
            const int s = path[static_cast<std::size_t>(t)];
            sums.row(s) += x.row(t);
            squares.row(s) += x.row(t).array().square().matrix();
            n(s) += 1;
        }
    }
    WordModel model;
    if (!any) return model;
    model.states = states;
    model.mixtures = 1;
    model.stay = prior.stay;
    model.leave = prior.leave;
    model.means.resize(states, kFeatureDims);
    model.variances.resize(states, kFeatureDims);
    model.logWeights = Eigen::VectorXf::Zero(states);
    for (int s = 0; s < states; ++s) {
        // The moments of the state's mixture.
        FeatureVector mean = FeatureVector::Zero();
        FeatureVector second = FeatureVector::Zero();
        for (int k = 0; k < m; ++k) {
            const Eigen::Index r = static_cast<Eigen::Index>(s) * m + k;
            const float w = std::exp(prior.logWeights(r));
            mean += w * prior.means.row(r);
            second += w * (prior.variances.row(r) + prior.means.row(r).cwiseProduct(prior.means.row(r)));
        }
        const FeatureVector variance = (second - mean.cwiseProduct(mean)).cwiseMax(1e-6f);
        const FeatureVector adapted = (tau * mean + sums.row(s)) / (tau + n(s));
        // sum (x - μ')² = sum x² - 2 μ' sum x + n μ'²
        const FeatureVector spread =
            squares.row(s) - 2.0f * adapted.cwiseProduct(sums.row(s)) + n(s) * adapted.cwiseProduct(adapted);
        model.means.row(s) = adapted;
        model.variances.row(s) = ((tau * variance + spread.cwiseMax(0.0f)) / (tau + n(s))).cwiseMax(1e-6f);
    }
    return model;
}

FeatureVector MeanVariance(const std::vector<const WordModel *> &models) {
    FeatureVector sum = FeatureVector::Zero();
    double n = 0;
    for (const WordModel *m : models) {
        sum += m->variances.colwise().sum();
        n += static_cast<double>(m->variances.rows());
    }
    if (n == 0) return FeatureVector::Ones();
    return sum / static_cast<float>(n);
}

float ScoreUtterance(const WordModel &model, const FeatureMatrix &x) {
    if (model.Empty() || x.rows() == 0) return kMinusInf;
    const RowMatrix b = StateScores(GaussianScores(model, x), model.states, model.mixtures);
    return Viterbi(b, model.stay, model.leave, nullptr) / static_cast<float>(x.rows());
}

std::string SerializeModel(const WordModel &model) {
    std::string out = std::to_string(model.states) + " " + std::to_string(model.mixtures);
    char number[32];
    auto put = [&](float v) {
        const auto r = std::to_chars(number, number + sizeof number, v);
        out += ' ';
        out.append(number, r.ptr);
    };
    for (int s = 0; s < model.states; ++s) {
        put(model.stay[static_cast<std::size_t>(s)]);
        put(model.leave[static_cast<std::size_t>(s)]);
    }
    for (Eigen::Index r = 0; r < model.means.rows(); ++r) {
        put(model.logWeights(r));
        for (int d = 0; d < kFeatureDims; ++d) put(model.means(r, d));
        for (int d = 0; d < kFeatureDims; ++d) put(model.variances(r, d));
    }
    return out;
}

WordModel ParseModel(std::string_view text) {
    std::vector<float> values;
    if (!ParseFloats(text, values))
        throw std::runtime_error("bad number in the model after " + std::to_string(values.size()));
    if (values.size() < 2) throw std::runtime_error("the model has no size");
    const float statesValue = values[0];
    const float mixturesValue = values[1];
    if (statesValue != std::floor(statesValue) || mixturesValue != std::floor(mixturesValue) || statesValue < 1 ||
        statesValue > 64 || mixturesValue < 1 || mixturesValue > 64)
        throw std::runtime_error("the model's size is not 1 to 64 states of 1 to 64 Gaussians");
    WordModel model;
    model.states = static_cast<int>(statesValue);
    model.mixtures = static_cast<int>(mixturesValue);
    const std::size_t rows = static_cast<std::size_t>(model.states) * static_cast<std::size_t>(model.mixtures);
    const std::size_t expected = 2 + 2 * static_cast<std::size_t>(model.states) + rows * (1 + 2 * kFeatureDims);
    if (values.size() != expected)
        throw std::runtime_error("the model has " + std::to_string(values.size()) + " numbers, not " +
                                 std::to_string(expected));
    for (float v : values)
        if (!std::isfinite(v)) throw std::runtime_error("the model holds a number that is not finite");
    std::size_t i = 2;
    for (int s = 0; s < model.states; ++s) {
        model.stay.push_back(values[i++]);
        model.leave.push_back(values[i++]);
        if (model.stay.back() > 0 || model.leave.back() > 0)
            throw std::runtime_error("a transition log probability is above 0");
    }
    model.means.resize(static_cast<Eigen::Index>(rows), kFeatureDims);
    model.variances.resize(static_cast<Eigen::Index>(rows), kFeatureDims);
    model.logWeights.resize(static_cast<Eigen::Index>(rows));
    for (Eigen::Index r = 0; r < static_cast<Eigen::Index>(rows); ++r) {
        model.logWeights(r) = values[i++];
        for (int d = 0; d < kFeatureDims; ++d) model.means(r, d) = values[i++];
        for (int d = 0; d < kFeatureDims; ++d) {
            model.variances(r, d) = values[i++];
            if (!(model.variances(r, d) > 0)) throw std::runtime_error("a variance is not above 0");
        }
    }
    return model;
}

}  // namespace tessary
