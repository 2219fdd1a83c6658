#include "model_bank.h"

#include <algorithm>
#include <cmath>

#include "hmm_numerics.h"

namespace tessary {
namespace {

// One frame of a left-to-right model's Viterbi column d, with the state
// scores b, at frame t of frames: states not reached yet, or from which the
// end is out of reach, stay out.
void ViterbiStep(float *d, const float *b, const std::vector<float> &stay, const std::vector<float> &leave, int states,
                 int t, int frames) {
    if (t == 0) {
        d[0] = b[0];
        return;
    }
    const int highest = std::min(states - 1, t);
    const int lowest = std::max(0, states - (frames - t));
    for (int s = highest; s >= lowest; --s) {
        const float kept = d[s] + stay[static_cast<std::size_t>(s)];
        const float came = s > 0 ? d[s - 1] + leave[static_cast<std::size_t>(s - 1)] : kMinusInf;
        d[s] = std::max(kept, came) + b[s];
    }
    if (lowest > 0) d[lowest - 1] = kMinusInf;
}

}  // namespace

ModelBank::ModelBank(const std::vector<std::pair<int, const WordModel *>> &models,
                     std::shared_ptr<const PhoneModels> phones,
                     const std::vector<std::pair<int, std::vector<Phone>>> &spelled)
    : phones_(std::move(phones)) {
    Eigen::Index columns = 0;
    for (const auto &[word, model] : models) columns += model->means.rows();
    packed_.columns.resize(2 * kFeatureDims, columns);
    packed_.constants.resize(columns);
    Eigen::Index column = 0;
    for (const auto &[word, model] : models) {
        if (model->Empty()) continue;
        Entry e;
        e.word = word;
        e.states = model->states;
        e.mixtures = model->mixtures;
        e.column = column;
        e.stay = model->stay;
        e.leave = model->leave;
        PackGaussiansInto(*model, packed_, e.column);
        column += model->means.rows();
        models_.push_back(std::move(e));
    }
    if (!phones_ || phones_->Empty()) return;

    // The phone states, unit after unit.
    phoneMixtures_ = phones_->Pause().mixtures;
    Eigen::Index rows = 0;
    for (const WordModel &unit : phones_->units) rows += unit.means.rows();
    phonePacked_.columns.resize(2 * kFeatureDims, rows);
    phonePacked_.constants.resize(rows);
    Eigen::Index at = 0;
    for (int u = 0; u < kUnitCount; ++u) {
        const WordModel &unit = phones_->units[static_cast<std::size_t>(u)];
        unitFirst_.push_back(phoneStates_);
        PackGaussiansInto(unit, phonePacked_, at);
        at += unit.means.rows();
        phoneStates_ += unit.states;
        phoneStay_.insert(phoneStay_.end(), unit.stay.begin(), unit.stay.end());
        phoneLeave_.insert(phoneLeave_.end(), unit.leave.begin(), unit.leave.end());
        if (u == kPauseUnit || ModelledAs(static_cast<Phone>(u)) == static_cast<Phone>(u)) loopUnits_.push_back(u);
    }
    auto append = [&](Entry &e, int unit) {
        for (int k = 0; k < phones_->units[static_cast<std::size_t>(unit)].states; ++k) {
            const int s = unitFirst_[static_cast<std::size_t>(unit)] + k;
            e.shared.push_back(s);
            e.stay.push_back(phoneStay_[static_cast<std::size_t>(s)]);
            e.leave.push_back(phoneLeave_[static_cast<std::size_t>(s)]);
        }
    };
    for (const auto &[word, spelling] : spelled) {
        if (spelling.empty()) continue;
        Entry e;
        e.word = word;
        append(e, kPauseUnit);
        for (Phone p : spelling) append(e, static_cast<int>(ModelledAs(p)));
        append(e, kPauseUnit);
        e.states = static_cast<int>(e.shared.size());
        models_.push_back(std::move(e));
    }
}

ModelBank::Scores ModelBank::ScoreWords(const FeatureMatrix &x, int words, float beam) const {
    Scores result;
    result.words.assign(static_cast<std::size_t>(std::max(0, words)), kMinusInf);
    const auto frames = static_cast<int>(x.rows());
    if (frames == 0) return result;
    const auto f = SquaredAndPlain(x);

    // Every model's Viterbi column, advanced frame by frame over chunks of
    // frames; after each chunk the models of their own Gaussians whose best
    // path has fallen more than beam below the best of all are dropped.
    std::vector<std::size_t> offsets(models_.size());
    std::size_t total = 0;
    for (std::size_t m = 0; m < models_.size(); ++m) {
        offsets[m] = total;
        total += static_cast<std::size_t>(models_[m].states);
    }
    std::vector<float> delta(total, kMinusInf);
    std::vector<std::size_t> alive;
    std::size_t own = 0;
    for (std::size_t m = 0; m < models_.size(); ++m) {
        own += models_[m].mixtures > 0;
        if (models_[m].word >= 0 && models_[m].word < words && models_[m].states <= frames) alive.push_back(m);
    }
    const bool loop = phoneStates_ > 0;
    std::vector<float> loopDelta(static_cast<std::size_t>(phoneStates_), kMinusInf);
    constexpr int kChunk = 16;
    RowMatrix scores, mine, phoneGaussians, phoneStates;
    std::vector<float> b;
    for (int start = 0; start < frames && (!alive.empty() || loop); start += kChunk) {
        const int count = std::min(kChunk, frames - start);
        const auto chunk = f.middleRows(start, count);
        if (loop) {
            phoneGaussians.noalias() = chunk * phonePacked_.columns;
            phoneGaussians.rowwise() += phonePacked_.constants.transpose();
            phoneStates = StateScores(phoneGaussians, phoneStates_, phoneMixtures_);
        }
        // One product for all own models while many are left, one a model after.
        std::size_t ownAlive = 0;
        for (std::size_t m : alive) ownAlive += models_[m].mixtures > 0;
        const bool whole = ownAlive * 2 > own;
        if (whole) {
            scores.noalias() = chunk * packed_.columns;
            scores.rowwise() += packed_.constants.transpose();
        }
        float top = kMinusInf;
        std::vector<float> modelBest(alive.size(), kMinusInf);
        for (std::size_t a = 0; a < alive.size(); ++a) {
            const Entry &e = models_[alive[a]];
            float *d = delta.data() + offsets[alive[a]];
            b.resize(static_cast<std::size_t>(e.states));
            const Eigen::Index g = static_cast<Eigen::Index>(e.states) * e.mixtures;
            if (e.mixtures > 0 && !whole) {
                // Small products: coefficient by coefficient, without the
                // packing a large product pays for.
                mine.noalias() = chunk.lazyProduct(packed_.columns.middleCols(e.column, g));
                mine.rowwise() += packed_.constants.segment(e.column, g).transpose();
            }
            for (int c = 0; c < count; ++c) {
                if (e.mixtures == 0) {
                    for (int s = 0; s < e.states; ++s)
                        b[static_cast<std::size_t>(s)] = phoneStates(c, e.shared[static_cast<std::size_t>(s)]);
                } else {
                    const float *row = whole ? scores.row(c).data() + e.column : mine.row(c).data();
                    for (int s = 0; s < e.states; ++s)
                        b[static_cast<std::size_t>(s)] = LogSumExp(row + s * e.mixtures, e.mixtures);
                }
                ViterbiStep(d, b.data(), e.stay, e.leave, e.states, start + c, frames);
            }
            for (int s = 0; s < e.states; ++s) modelBest[a] = std::max(modelBest[a], d[s]);
            top = std::max(top, modelBest[a]);
        }
        std::size_t kept = 0;
        for (std::size_t a = 0; a < alive.size(); ++a) {
            const bool spelled = models_[alive[a]].mixtures == 0;
            if (std::isfinite(modelBest[a]) && (spelled || modelBest[a] >= top - beam)) alive[kept++] = alive[a];
        }
        alive.resize(kept);

        // The phone loop: any unit after the best unit end, at a cost.
        for (int c = 0; loop && c < count; ++c) {
            const int t = start + c;
            float bestEnd = kMinusInf;
            if (t > 0)
                for (int u : loopUnits_) {
                    const auto last = static_cast<std::size_t>(unitFirst_[static_cast<std::size_t>(u)] +
                                                               phones_->units[static_cast<std::size_t>(u)].states - 1);
                    bestEnd = std::max(bestEnd, loopDelta[last] + phoneLeave_[last]);
                }
            for (int u : loopUnits_) {
                const int first = unitFirst_[static_cast<std::size_t>(u)];
                for (int s = first + phones_->units[static_cast<std::size_t>(u)].states - 1; s >= first; --s) {
                    const auto ss = static_cast<std::size_t>(s);
                    float best = t == 0 ? kMinusInf : loopDelta[ss] + phoneStay_[ss];
                    if (s > first) best = std::max(best, loopDelta[ss - 1] + phoneLeave_[ss - 1]);
                    else best = std::max(best, t == 0 ? -kLoopInsertionPenalty : bestEnd - kLoopInsertionPenalty);
                    loopDelta[ss] = best + phoneStates(c, s);
                }
            }
        }
    }
    for (std::size_t m : alive) {
        const Entry &e = models_[m];
        const float score = delta[offsets[m] + static_cast<std::size_t>(e.states - 1)] / static_cast<float>(frames);
        float &slot = result.words[static_cast<std::size_t>(e.word)];
        slot = std::max(slot, score);
    }
    if (loop) {
        float best = kMinusInf;
        for (int u : loopUnits_)
            best = std::max(best, loopDelta[static_cast<std::size_t>(unitFirst_[static_cast<std::size_t>(u)] +
                                                                    phones_->units[static_cast<std::size_t>(u)].states - 1)]);
        result.phoneLoop = best / static_cast<float>(frames);
    }
    return result;
}

}  // namespace tessary
