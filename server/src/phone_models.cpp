#include "phone_models.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "hmm_numerics.h"

namespace tessary {
namespace {

constexpr const char *kPauseName = "pause";

int StatesOf(int unit) { return unit == kPauseUnit ? 1 : kStatesPerPhone; }

// The units' states, numbered unit after unit.
struct StateIndex {
    std::vector<int> first;  // per unit
    int total = 0;
    StateIndex() {
        for (int u = 0; u < kUnitCount; ++u) {
            first.push_back(total);
            total += StatesOf(u);
        }
    }
};

int UnitOf(int phoneOrPause) {
    if (phoneOrPause == kPauseUnit) return kPauseUnit;
    return static_cast<int>(ModelledAs(static_cast<Phone>(phoneOrPause)));
}

// An example's chain of states, each state once in a row, and which of them
// the path may pass over.
struct Chain {
    std::vector<int> states;      // global state numbers
    std::vector<std::uint8_t> optional;
    int required = 0;
};

Chain ChainOf(const std::vector<int> &units, const StateIndex &index) {
    Chain c;
    for (int unit : units) {
        const int u = UnitOf(unit);
        for (int k = 0; k < StatesOf(u); ++k) {
            c.states.push_back(index.first[static_cast<std::size_t>(u)] + k);
            c.optional.push_back(unit == kPauseUnit);
            c.required += unit != kPauseUnit;
        }
    }
    return c;
}

// Best path through the chain: position per frame; empty when none fits.
// From position i a frame may stay, move to i + 1, or to i + 2 when i + 1 is
// optional; the path starts at the first required position or an optional
// one before it, and ends likewise.
std::vector<int> AlignChain(const RowMatrix &b, const std::vector<int> &column, const Chain &chain,
                            const std::vector<float> &stay, const std::vector<float> &leave, double *score) {
    const auto frames = static_cast<int>(b.rows());
    const auto n = static_cast<int>(chain.states.size());
    if (n == 0 || frames < chain.required) return {};
    std::vector<float> delta(static_cast<std::size_t>(n), kMinusInf), next(delta.size());
    std::vector<std::uint8_t> from(static_cast<std::size_t>(frames) * static_cast<std::size_t>(n), 0);
    auto emit = [&](int t, int i) { return b(t, column[static_cast<std::size_t>(i)]); };
    delta[0] = emit(0, 0);
    if (chain.optional[0] && n > 1) delta[1] = emit(0, 1);
    for (int t = 1; t < frames; ++t) {
        for (int i = 0; i < n; ++i) {
            const auto si = static_cast<std::size_t>(i);
            float best = delta[si] + stay[static_cast<std::size_t>(chain.states[si])];
            std::uint8_t step = 0;
            if (i >= 1) {
                const float moved = delta[si - 1] + leave[static_cast<std::size_t>(chain.states[si - 1])];
                if (moved > best) {
                    best = moved;
                    step = 1;
                }
            }
            if (i >= 2 && chain.optional[si - 1]) {
                const float skipped = delta[si - 2] + leave[static_cast<std::size_t>(chain.states[si - 2])];
                if (skipped > best) {
                    best = skipped;
                    step = 2;
                }
            }
            next[si] = std::isfinite(best) ? best + emit(t, i) : kMinusInf;
            from[static_cast<std::size_t>(t) * static_cast<std::size_t>(n) + si] = step;
        }
        std::swap(delta, next);
    }
    int end = n - 1;
    if (chain.optional[static_cast<std::size_t>(n - 1)] && n > 1 &&
        delta[static_cast<std::size_t>(n - 2)] > delta[static_cast<std::size_t>(n - 1)])
        end = n - 2;
    if (!std::isfinite(delta[static_cast<std::size_t>(end)])) return {};
    *score = delta[static_cast<std::size_t>(end)];
    std::vector<int> path(static_cast<std::size_t>(frames));
    int i = end;
    for (int t = frames - 1; t >= 0; --t) {
        path[static_cast<std::size_t>(t)] = i;
        if (t > 0) i -= from[static_cast<std::size_t>(t) * static_cast<std::size_t>(n) + static_cast<std::size_t>(i)];
    }
    return path;
}

// The first cut: the frames shared equally among the required positions.
std::vector<int> UniformChainPath(Eigen::Index frames, const Chain &chain) {
    std::vector<int> required;
    for (std::size_t i = 0; i < chain.states.size(); ++i)
        if (!chain.optional[i]) required.push_back(static_cast<int>(i));
    std::vector<int> path(static_cast<std::size_t>(frames));
    for (Eigen::Index t = 0; t < frames; ++t)
        path[static_cast<std::size_t>(t)] =
            required[static_cast<std::size_t>(t * static_cast<Eigen::Index>(required.size()) / frames)];
    return path;
}

// Sufficient statistics of one pass over the examples.
struct Statistics {
    Eigen::MatrixXd sums, squares;  // a row per Gaussian
    Eigen::VectorXd frames;         // per Gaussian
    std::vector<double> stateFrames, stateMoves;
    double logLikelihood = 0, alignedFrames = 0;

    Statistics(Eigen::Index gaussians, int states)
        : sums(Eigen::MatrixXd::Zero(gaussians, kFeatureDims)),
          squares(Eigen::MatrixXd::Zero(gaussians, kFeatureDims)),
          frames(Eigen::VectorXd::Zero(gaussians)),
          stateFrames(static_cast<std::size_t>(states), 0.0),
          stateMoves(static_cast<std::size_t>(states), 0.0) {}
    void Add(const Statistics &o) {
        sums += o.sums;
        squares += o.squares;
        frames += o.frames;
        logLikelihood += o.logLikelihood;
        alignedFrames += o.alignedFrames;
        for (std::size_t s = 0; s < stateFrames.size(); ++s) {
            stateFrames[s] += o.stateFrames[s];
            stateMoves[s] += o.stateMoves[s];
        }
    }
};

// The Gaussians of the given states only, as one model.
WordModel Subset(const WordModel &all, const std::vector<int> &states) {
    WordModel sub;
    sub.states = static_cast<int>(states.size());
    sub.mixtures = all.mixtures;
    const Eigen::Index m = all.mixtures;
    sub.means.resize(sub.states * m, kFeatureDims);
    sub.variances.resize(sub.states * m, kFeatureDims);
    sub.logWeights.resize(sub.states * m);
    for (std::size_t k = 0; k < states.size(); ++k) {
        const auto to = static_cast<Eigen::Index>(k) * m;
        const auto at = static_cast<Eigen::Index>(states[k]) * m;
        sub.means.middleRows(to, m) = all.means.middleRows(at, m);
        sub.variances.middleRows(to, m) = all.variances.middleRows(at, m);
        sub.logWeights.segment(to, m) = all.logWeights.segment(at, m);
    }
    return sub;
}

}  // namespace

Phone ModelledAs(Phone phone) {
    switch (phone) {
        case Phone::dz: return Phone::ts;
        case Phone::dzh: return Phone::tsh;
        case Phone::oo: return Phone::o;
        case Phone::eu: return Phone::e;
        case Phone::ng: return Phone::n;
        default: return phone;
    }
}

std::vector<int> TrainingUnits(const Pronunciation &pronunciation) {
    std::vector<int> units{kPauseUnit};
    for (std::size_t i = 0; i < pronunciation.phones.size(); ++i) {
        const bool wordEnds = std::find(pronunciation.wordStarts.begin(), pronunciation.wordStarts.end(),
                                        static_cast<int>(i + 1)) != pronunciation.wordStarts.end();
        units.push_back(static_cast<int>(pronunciation.phones[i]));
        if (wordEnds || i + 1 == pronunciation.phones.size()) units.push_back(kPauseUnit);
    }
    return units;
}

PhoneModels TrainPhoneModels(const std::vector<PhoneTrainingExample> &examples, const PhoneTrainingOptions &options) {
    const StateIndex index;
    std::vector<Chain> chains;
    std::vector<const FeatureMatrix *> xs;
    std::vector<double> weights;
    for (const auto &e : examples) {
        Chain c = ChainOf(e.units, index);
        if (c.required == 0 || e.x.rows() < c.required || !(e.weight > 0)) continue;
        chains.push_back(std::move(c));
        xs.push_back(&e.x);
        weights.push_back(e.weight);
    }
    if (xs.empty()) throw std::invalid_argument("no training example is long enough for its phones");
    const int threads = std::max(1, options.threads);

    // The variance floor, from all frames.
    Eigen::VectorXd sum = Eigen::VectorXd::Zero(kFeatureDims), squares = Eigen::VectorXd::Zero(kFeatureDims);
    double count = 0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const FeatureMatrix &x = *xs[i];
        sum += weights[i] * x.cast<double>().colwise().sum().transpose();
        squares += weights[i] * x.cast<double>().array().square().matrix().colwise().sum().transpose();
        count += weights[i] * static_cast<double>(x.rows());
    }
    const Eigen::VectorXd globalMean = sum / count;
    const Eigen::VectorXd globalVariance = (squares / count - globalMean.cwiseProduct(globalMean)).cwiseMax(1e-6);
    const FeatureVector floor = (options.varianceFloor * globalVariance).cast<float>().transpose();

    WordModel all;
    all.states = index.total;
    all.mixtures = 1;
    all.means = GaussianRows::Zero(index.total, kFeatureDims);
    all.variances = GaussianRows::Ones(index.total, kFeatureDims);
    all.logWeights = Eigen::VectorXf::Zero(index.total);
    all.stay.assign(static_cast<std::size_t>(index.total), std::log(0.6f));
    all.leave.assign(static_cast<std::size_t>(index.total), std::log(0.4f));

    std::vector<std::vector<int>> paths(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) paths[i] = UniformChainPath(xs[i]->rows(), chains[i]);

    // One pass: (when aligning) each example's path by Viterbi against the
    // current models, then the statistics of the frames along the paths.
    auto pass = [&](bool align) {
        std::vector<Statistics> parts;
        for (int k = 0; k < threads; ++k) parts.emplace_back(all.means.rows(), all.states);
        std::vector<std::thread> pool;
        for (int k = 0; k < threads; ++k)
            pool.emplace_back([&, k] {
                Statistics &st = parts[static_cast<std::size_t>(k)];
                for (std::size_t i = static_cast<std::size_t>(k); i < xs.size(); i += static_cast<std::size_t>(threads)) {
                    const FeatureMatrix &x = *xs[i];
                    const Chain &chain = chains[i];
                    const double w = weights[i];
                    // The distinct states of the chain, as columns of b.
                    std::vector<int> distinct = chain.states;
                    std::sort(distinct.begin(), distinct.end());
                    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
                    std::vector<int> column(chain.states.size());
                    for (std::size_t p = 0; p < chain.states.size(); ++p)
                        column[p] = static_cast<int>(
                            std::lower_bound(distinct.begin(), distinct.end(), chain.states[p]) - distinct.begin());
                    RowMatrix g;
                    if (align || all.mixtures > 1) g = GaussianScores(Subset(all, distinct), x);
                    if (align) {
                        const RowMatrix b = StateScores(g, static_cast<int>(distinct.size()), all.mixtures);
                        double score = 0;
                        std::vector<int> path = AlignChain(b, column, chain, all.stay, all.leave, &score);
                        if (!path.empty()) {
                            paths[i] = std::move(path);
                            st.logLikelihood += w * score;
                            st.alignedFrames += w * static_cast<double>(x.rows());
                        }
                    }
                    const auto &path = paths[i];
                    for (Eigen::Index t = 0; t < x.rows(); ++t) {
                        const int p = path[static_cast<std::size_t>(t)];
                        const int s = chain.states[static_cast<std::size_t>(p)];
                        int m = 0;
                        if (all.mixtures > 1) {
                            const float *row = g.row(t).data() + column[static_cast<std::size_t>(p)] * all.mixtures;
                            m = static_cast<int>(std::max_element(row, row + all.mixtures) - row);
                        }
                        const Eigen::Index r = static_cast<Eigen::Index>(s) * all.mixtures + m;
                        const Eigen::RowVectorXd v = x.row(t).cast<double>();
                        st.sums.row(r) += w * v;
                        st.squares.row(r) += w * v.array().square().matrix();
                        st.frames(r) += w;
                        st.stateFrames[static_cast<std::size_t>(s)] += w;
                        if (t + 1 < x.rows() && path[static_cast<std::size_t>(t + 1)] != p)
                            st.stateMoves[static_cast<std::size_t>(s)] += w;
                    }
                }
            });
        for (auto &t : pool) t.join();
        for (int k = 1; k < threads; ++k) parts[0].Add(parts[static_cast<std::size_t>(k)]);
        return std::move(parts[0]);
    };

    double lastLogLikelihood = 0;
    auto estimate = [&](const Statistics &st) {
        lastLogLikelihood = st.alignedFrames > 0 ? st.logLikelihood / st.alignedFrames : 0;
        const int m = all.mixtures;
        for (int s = 0; s < all.states; ++s) {
            double stateFrames = 0;
            for (int k = 0; k < m; ++k) stateFrames += st.frames(s * m + k);
            for (int k = 0; k < m; ++k) {
                const Eigen::Index r = static_cast<Eigen::Index>(s) * m + k;
                if (st.frames(r) < 3) {
                    // Too few frames: a state never seen takes the mean of all
                    // speech; a Gaussian keeps what it was, with a small weight.
                    if (stateFrames < 3) {
                        all.means.row(r) = globalMean.cast<float>().transpose();
                        all.variances.row(r) = globalVariance.cast<float>().transpose();
                    }
                    all.logWeights(r) = std::log(1e-3f);
                    continue;
                }
                const Eigen::RowVectorXd mean = st.sums.row(r) / st.frames(r);
                all.means.row(r) = mean.cast<float>();
                all.variances.row(r) =
                    (st.squares.row(r) / st.frames(r) - mean.cwiseProduct(mean)).cast<float>().cwiseMax(floor);
                all.logWeights(r) = static_cast<float>(std::log(st.frames(r) / stateFrames));
            }
            const Eigen::Index first = static_cast<Eigen::Index>(s) * m;
            const float total = LogSumExp(all.logWeights.data() + first, m);
            all.logWeights.segment(first, m).array() -= total;
            // Transitions, with a light prior of two stays and one move.
            const auto ss = static_cast<std::size_t>(s);
            const double p = std::clamp((st.stateMoves[ss] + 1.0) / (st.stateFrames[ss] + 3.0), 0.05, 0.95);
            all.leave[ss] = static_cast<float>(std::log(p));
            all.stay[ss] = static_cast<float>(std::log(1.0 - p));
        }
    };

    estimate(pass(false));
    for (;;) {
        for (int round = 0; round < options.rounds; ++round) {
            estimate(pass(true));
            if (options.progress)
                options.progress(std::to_string(all.mixtures) + " Gaussians a state, round " + std::to_string(round + 1) +
                                 ": log likelihood " + std::to_string(lastLogLikelihood) + " a frame");
        }
        if (all.mixtures * 2 > options.maxMixtures) break;
        SplitEveryGaussian(all);
    }

    PhoneModels models;
    for (int u = 0; u < kUnitCount; ++u) {
        std::vector<int> states;
        for (int k = 0; k < StatesOf(u); ++k) states.push_back(index.first[static_cast<std::size_t>(u)] + k);
        WordModel unit = Subset(all, states);
        for (int s : states) {
            unit.stay.push_back(all.stay[static_cast<std::size_t>(s)]);
            unit.leave.push_back(all.leave[static_cast<std::size_t>(s)]);
        }
        models.units.push_back(std::move(unit));
    }
    return models;
}

WordModel ComposeWordModel(const PhoneModels &models, const std::vector<Phone> &phones) {
    WordModel word;
    if (models.Empty() || phones.empty()) return word;
    std::vector<const WordModel *> parts{&models.Pause()};
    for (Phone p : phones) parts.push_back(&models.Of(p));
    parts.push_back(&models.Pause());
    const int m = models.Pause().mixtures;
    Eigen::Index rows = 0;
    for (const WordModel *part : parts) {
        if (part->mixtures != m) throw std::invalid_argument("phone models of different sizes");
        word.states += part->states;
        rows += part->means.rows();
    }
    word.mixtures = m;
    word.means.resize(rows, kFeatureDims);
    word.variances.resize(rows, kFeatureDims);
    word.logWeights.resize(rows);
    Eigen::Index at = 0;
    for (const WordModel *part : parts) {
        const Eigen::Index n = part->means.rows();
        word.means.middleRows(at, n) = part->means;
        word.variances.middleRows(at, n) = part->variances;
        word.logWeights.segment(at, n) = part->logWeights;
        word.stay.insert(word.stay.end(), part->stay.begin(), part->stay.end());
        word.leave.insert(word.leave.end(), part->leave.begin(), part->leave.end());
        at += n;
    }
    return word;
}

std::string SerializePhoneModels(const PhoneModels &models) {
    std::string out;
    for (int u = 0; u < kUnitCount; ++u) {
        out += u == kPauseUnit ? std::string(kPauseName) : std::string(PhoneName(static_cast<Phone>(u)));
        out += '\t';
        out += SerializeModel(models.units[static_cast<std::size_t>(u)]);
        out += '\n';
    }
    return out;
}

PhoneModels ParsePhoneModels(std::string_view text) {
    PhoneModels models;
    models.units.resize(kUnitCount);
    std::vector<bool> seen(kUnitCount, false);
    int line = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view row = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++line;
        if (row.empty()) continue;
        const std::size_t tab = row.find('\t');
        if (tab == std::string_view::npos)
            throw std::runtime_error("phone models, line " + std::to_string(line) + ": no tab");
        const std::string_view name = row.substr(0, tab);
        int unit = -1;
        if (name == kPauseName) unit = kPauseUnit;
        else if (const auto p = PhoneFromName(name)) unit = static_cast<int>(*p);
        if (unit < 0)
            throw std::runtime_error("phone models, line " + std::to_string(line) + ": no phone named " +
                                     std::string(name));
        try {
            models.units[static_cast<std::size_t>(unit)] = ParseModel(row.substr(tab + 1));
        } catch (const std::runtime_error &e) {
            throw std::runtime_error("phone models, line " + std::to_string(line) + ": " + e.what());
        }
        if (models.units[static_cast<std::size_t>(unit)].states != StatesOf(unit))
            throw std::runtime_error("phone models, line " + std::to_string(line) + ": " + std::string(name) +
                                     " has " + std::to_string(models.units[static_cast<std::size_t>(unit)].states) +
                                     " states, not " + std::to_string(StatesOf(unit)));
        seen[static_cast<std::size_t>(unit)] = true;
    }
    const int mixtures = models.units[kPauseUnit].mixtures;
    for (int u = 0; u < kUnitCount; ++u) {
        const std::string name = u == kPauseUnit ? kPauseName : std::string(PhoneName(static_cast<Phone>(u)));
        if (!seen[static_cast<std::size_t>(u)]) throw std::runtime_error("phone models: no model of " + name);
        if (models.units[static_cast<std::size_t>(u)].mixtures != mixtures)
            throw std::runtime_error("phone models: " + name + " has another number of Gaussians than the pause");
    }
    return models;
}

}  // namespace tessary
