#include "word_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "frame_features.h"

namespace tessary {
namespace {

using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
constexpr float kMinusInf = -std::numeric_limits<float>::infinity();
const float kLog2Pi = static_cast<float>(std::log(2.0 * std::numbers::pi));

float LogSumExp(const float *v, int n) {
    float top = v[0];
    for (int i = 1; i < n; ++i) top = std::max(top, v[i]);
    if (n == 1 || !std::isfinite(top)) return top;
    float sum = 0;
    for (int i = 0; i < n; ++i) sum += std::exp(v[i] - top);
    return top + std::log(sum);
}

// Log density of every Gaussian of the model at every frame: T x (S M).
RowMatrix GaussianScores(const WordModel &model, const FeatureMatrix &x) {
    const Eigen::Index g = model.means.rows();
    const GaussianRows precision = model.variances.cwiseInverse();
    Eigen::Matrix<float, 2 * kFeatureDims, Eigen::Dynamic> packed(2 * kFeatureDims, g);
    packed.topRows(kFeatureDims) = (-0.5f * precision).transpose();
    packed.bottomRows(kFeatureDims) = model.means.cwiseProduct(precision).transpose();
    Eigen::VectorXf constants(g);
    for (Eigen::Index i = 0; i < g; ++i)
        constants(i) = model.logWeights(i) -
                       0.5f * (kFeatureDims * kLog2Pi + model.variances.row(i).array().log().sum() +
                               model.means.row(i).cwiseProduct(precision.row(i)).dot(model.means.row(i)));
    Eigen::Matrix<float, Eigen::Dynamic, 2 * kFeatureDims, Eigen::RowMajor> f(x.rows(), 2 * kFeatureDims);
    f.leftCols(kFeatureDims) = x.array().square().matrix();
    f.rightCols(kFeatureDims) = x;
    RowMatrix scores = f * packed;
    scores.rowwise() += constants.transpose();
    return scores;
}

// Per-state emission scores from per-Gaussian ones.
RowMatrix StateScores(const RowMatrix &gaussians, int states, int mixtures) {
    RowMatrix b(gaussians.rows(), states);
    for (Eigen::Index t = 0; t < gaussians.rows(); ++t)
        for (int s = 0; s < states; ++s) b(t, s) = LogSumExp(gaussians.row(t).data() + s * mixtures, mixtures);
    return b;
}

// Best path through b (T x S); its log probability, and its states in path
// when path is given. -inf when T < S.
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
        // Every Gaussian splits in two, apart along its deviation.
        const int m = model.mixtures;
        GaussianRows means(static_cast<Eigen::Index>(states) * 2 * m, kFeatureDims);
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

ModelBank::ModelBank(const std::vector<std::pair<int, const WordModel *>> &models) {
    Eigen::Index columns = 0;
    for (const auto &[word, model] : models) columns += model->means.rows();
    packed_.resize(2 * kFeatureDims, columns);
    constants_.resize(columns);
    Eigen::Index column = 0;
    for (const auto &[word, model] : models) {
        if (model->Empty()) continue;
        Add(word, *model, column);
        column += model->means.rows();
    }
}

void ModelBank::Add(int word, const WordModel &model, Eigen::Index column) {
    Entry e;
    e.word = word;
    e.states = model.states;
    e.mixtures = model.mixtures;
    e.column = column;
    e.stay = model.stay;
    e.leave = model.leave;
    const Eigen::Index g = model.means.rows();
    const GaussianRows precision = model.variances.cwiseInverse();
    packed_.block(0, e.column, kFeatureDims, g) = (-0.5f * precision).transpose();
    packed_.block(kFeatureDims, e.column, kFeatureDims, g) = model.means.cwiseProduct(precision).transpose();
    for (Eigen::Index i = 0; i < g; ++i)
        constants_(e.column + i) = model.logWeights(i) -
                                   0.5f * (kFeatureDims * kLog2Pi + model.variances.row(i).array().log().sum() +
                                           model.means.row(i).cwiseProduct(precision.row(i)).dot(model.means.row(i)));
    models_.push_back(std::move(e));
}

std::vector<float> ModelBank::ScoreWords(const FeatureMatrix &x, int words, float beam) const {
    std::vector<float> best(static_cast<std::size_t>(std::max(0, words)), kMinusInf);
    const auto frames = static_cast<int>(x.rows());
    if (frames == 0 || models_.empty()) return best;
    Eigen::Matrix<float, Eigen::Dynamic, 2 * kFeatureDims, Eigen::RowMajor> f(frames, 2 * kFeatureDims);
    f.leftCols(kFeatureDims) = x.array().square().matrix();
    f.rightCols(kFeatureDims) = x;

    // Every model's Viterbi column, advanced frame by frame over chunks of
    // frames; after each chunk the models whose best path has fallen more
    // than beam below the best of all are dropped.
    std::vector<std::size_t> offsets(models_.size());
    std::size_t total = 0;
    for (std::size_t m = 0; m < models_.size(); ++m) {
        offsets[m] = total;
        total += static_cast<std::size_t>(models_[m].states);
    }
    std::vector<float> delta(total, kMinusInf);
    std::vector<std::size_t> alive;
    for (std::size_t m = 0; m < models_.size(); ++m)
        if (models_[m].word >= 0 && models_[m].word < words && models_[m].states <= frames) alive.push_back(m);
    constexpr int kChunk = 16;
    RowMatrix scores;
    RowMatrix own;
    std::vector<float> b;
    for (int start = 0; start < frames && !alive.empty(); start += kChunk) {
        const int count = std::min(kChunk, frames - start);
        const auto chunk = f.middleRows(start, count);
        // One product for all models while many are left, one a model after.
        const bool whole = alive.size() * 2 > models_.size();
        if (whole) {
            scores.noalias() = chunk * packed_;
            scores.rowwise() += constants_.transpose();
        }
        float top = kMinusInf;
        std::vector<float> modelBest(alive.size(), kMinusInf);
        for (std::size_t a = 0; a < alive.size(); ++a) {
            const Entry &e = models_[alive[a]];
            const Eigen::Index g = static_cast<Eigen::Index>(e.states) * e.mixtures;
            if (!whole) {
                // Small products: coefficient by coefficient, without the
                // packing a large product pays for.
                own.noalias() = chunk.lazyProduct(packed_.middleCols(e.column, g));
                own.rowwise() += constants_.segment(e.column, g).transpose();
            }
            float *d = delta.data() + offsets[alive[a]];
            b.resize(static_cast<std::size_t>(e.states));
            for (int c = 0; c < count; ++c) {
                const float *row = whole ? scores.row(c).data() + e.column : own.row(c).data();
                for (int s = 0; s < e.states; ++s)
                    b[static_cast<std::size_t>(s)] = LogSumExp(row + s * e.mixtures, e.mixtures);
                const int t = start + c;
                if (t == 0) {
                    d[0] = b[0];
                    continue;
                }
                // States not reached yet, or from which the end is out of reach.
                const int highest = std::min(e.states - 1, t);
                const int lowest = std::max(0, e.states - (frames - t));
                for (int s = highest; s >= lowest; --s) {
                    const float kept = d[s] + e.stay[static_cast<std::size_t>(s)];
                    const float came = s > 0 ? d[s - 1] + e.leave[static_cast<std::size_t>(s - 1)] : kMinusInf;
                    d[s] = std::max(kept, came) + b[static_cast<std::size_t>(s)];
                }
                if (lowest > 0) d[lowest - 1] = kMinusInf;
            }
            for (int s = 0; s < e.states; ++s) modelBest[a] = std::max(modelBest[a], d[s]);
            top = std::max(top, modelBest[a]);
        }
        std::size_t kept = 0;
        for (std::size_t a = 0; a < alive.size(); ++a)
            if (modelBest[a] >= top - beam && std::isfinite(modelBest[a])) alive[kept++] = alive[a];
        alive.resize(kept);
    }
    for (std::size_t m : alive) {
        const Entry &e = models_[m];
        const float score = delta[offsets[m] + static_cast<std::size_t>(e.states - 1)] / static_cast<float>(frames);
        float &slot = best[static_cast<std::size_t>(e.word)];
        slot = std::max(slot, score);
    }
    return best;
}

}  // namespace tessary
