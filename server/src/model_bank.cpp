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

// One frame of the spelled words of a block, all their states laid out one
// after another in d: the same step as ViterbiStep, without leaving out the
// states from which the end is out of reach (they cannot reach it, so no
// word's score changes). came is scratch of the same length. Not for the
// first frame, nor for a block without spelled words.
void SpelledStep(float *d, float *came, const float *phoneStates, const std::vector<int> &state,
                 const std::vector<float> &stay, const std::vector<float> &cameFrom) {
    const std::size_t n = state.size();
    came[0] = kMinusInf;
    for (std::size_t i = 1; i < n; ++i) came[i] = d[i - 1] + cameFrom[i];
    for (std::size_t i = 0; i < n; ++i) d[i] = std::max(d[i] + stay[i], came[i]) + phoneStates[state[i]];
}

}  // namespace

ModelBank::ModelBank(const std::vector<std::pair<int, const WordModel *>> &models,
                     std::shared_ptr<const PhoneModels> phones,
                     const std::vector<std::pair<int, std::vector<Phone>>> &spelled)
    : phones_(MakePhoneStates(std::move(phones))) {
    int &words = words_;
    for (const auto &[word, model] : models) words = std::max(words, word + 1);
    for (const auto &[word, spelling] : spelled) words = std::max(words, word + 1);
    std::vector<WordModels> described(static_cast<std::size_t>(words));
    for (const auto &[word, model] : models)
        if (word >= 0) described[static_cast<std::size_t>(word)].models.push_back(model);
    for (const auto &[word, spelling] : spelled)
        if (word >= 0) described[static_cast<std::size_t>(word)].spelling = spelling;
    const Describe describe = [&](int word) { return described[static_cast<std::size_t>(word)]; };
    for (int first = 0; first < words; first += kBlockWords)
        blocks_.push_back(MakeBlock(first, std::min(words, first + kBlockWords), describe));
}

ModelBank::ModelBank(int words, const Describe &describe, std::shared_ptr<const PhoneModels> phones)
    : phones_(MakePhoneStates(std::move(phones))), words_(words) {
    for (int first = 0; first < words; first += kBlockWords)
        blocks_.push_back(MakeBlock(first, std::min(words, first + kBlockWords), describe));
}

ModelBank::ModelBank(const ModelBank &previous, int words, const std::vector<int> &changed,
                     const Describe &describe)
    : blocks_(previous.blocks_), phones_(previous.phones_), words_(words) {
    const auto count = static_cast<std::size_t>((words + kBlockWords - 1) / kBlockWords);
    std::vector<bool> stale(count, false);
    // The blocks of words that came or went, and of those changed.
    for (int w = std::min(previous.words_, words); w < std::max(previous.words_, words) && w < words; ++w)
        stale[static_cast<std::size_t>(w / kBlockWords)] = true;
    for (int word : changed)
        if (word >= 0 && word < words) stale[static_cast<std::size_t>(word / kBlockWords)] = true;
    blocks_.resize(count);
    for (std::size_t b = 0; b < count; ++b) {
        if (!stale[b] && blocks_[b]) continue;
        const int first = static_cast<int>(b) * kBlockWords;
        blocks_[b] = MakeBlock(first, std::min(words, first + kBlockWords), describe);
    }
}

std::size_t ModelBank::Models() const {
    std::size_t n = 0;
    for (const auto &block : blocks_) n += block->models.size();
    return n;
}

std::shared_ptr<const ModelBank::PhoneStates> ModelBank::MakePhoneStates(std::shared_ptr<const PhoneModels> phones) {
    if (!phones || phones->Empty()) return nullptr;
    auto p = std::make_shared<PhoneStates>();
    p->models = std::move(phones);
    p->mixtures = p->models->Pause().mixtures;
    Eigen::Index rows = 0;
    for (const WordModel &unit : p->models->units) rows += unit.means.rows();
    p->packed.columns.resize(2 * kFeatureDims, rows);
    p->packed.constants.resize(rows);
    Eigen::Index at = 0;
    for (int u = 0; u < kUnitCount; ++u) {
        const WordModel &unit = p->models->units[static_cast<std::size_t>(u)];
        p->unitFirst.push_back(p->states);
        PackGaussiansInto(unit, p->packed, at);
        at += unit.means.rows();
        p->states += unit.states;
        p->stay.insert(p->stay.end(), unit.stay.begin(), unit.stay.end());
        p->leave.insert(p->leave.end(), unit.leave.begin(), unit.leave.end());
        if (u == kPauseUnit || ModelledAs(static_cast<Phone>(u)) == static_cast<Phone>(u)) p->loopUnits.push_back(u);
    }
    return p;
}

std::shared_ptr<const ModelBank::Block> ModelBank::MakeBlock(int first, int end, const Describe &describe) const {
    auto block = std::make_shared<Block>();
    std::vector<WordModels> words;
    for (int w = first; w < end; ++w) words.push_back(describe(w));
    Eigen::Index columns = 0;
    for (const WordModels &w : words)
        for (const WordModel *model : w.models) columns += model->means.rows();
    block->packed.columns.resize(2 * kFeatureDims, columns);
    block->packed.constants.resize(columns);
    Eigen::Index column = 0;
    for (int w = first; w < end; ++w) {
        for (const WordModel *model : words[static_cast<std::size_t>(w - first)].models) {
            if (model->Empty()) continue;
            Entry e;
            e.word = w;
            e.states = model->states;
            e.mixtures = model->mixtures;
            e.column = column;
            e.stay = model->stay;
            e.leave = model->leave;
            PackGaussiansInto(*model, block->packed, e.column);
            column += model->means.rows();
            block->models.push_back(std::move(e));
            ++block->own;
        }
    }
    if (!phones_) return block;
    const PhoneStates &p = *phones_;
    auto append = [&](Entry &e, int unit) {
        for (int k = 0; k < p.models->units[static_cast<std::size_t>(unit)].states; ++k) {
            const int s = p.unitFirst[static_cast<std::size_t>(unit)] + k;
            e.shared.push_back(s);
            e.stay.push_back(p.stay[static_cast<std::size_t>(s)]);
            e.leave.push_back(p.leave[static_cast<std::size_t>(s)]);
        }
    };
    for (int w = first; w < end; ++w) {
        const std::vector<Phone> &spelling = words[static_cast<std::size_t>(w - first)].spelling;
        if (spelling.empty()) continue;
        Entry e;
        e.word = w;
        append(e, kPauseUnit);
        for (Phone ph : spelling) append(e, static_cast<int>(ModelledAs(ph)));
        append(e, kPauseUnit);
        e.states = static_cast<int>(e.shared.size());
        for (int s = 0; s < e.states; ++s) {
            const auto ss = static_cast<std::size_t>(s);
            block->spelledState.push_back(e.shared[ss]);
            block->spelledStay.push_back(e.stay[ss]);
            block->spelledCameFrom.push_back(s == 0 ? kMinusInf : e.leave[ss - 1]);
        }
        block->models.push_back(std::move(e));
    }
    return block;
}

ModelBank::Scores ModelBank::ScoreWords(const FeatureMatrix &x, int words, float beam,
                                        std::span<const std::uint8_t> only) const {
    Scores result;
    result.words.assign(static_cast<std::size_t>(std::max(0, words)), kMinusInf);
    const auto frames = static_cast<int>(x.rows());
    if (frames == 0) return result;
    const auto f = SquaredAndPlain(x);

    // Every model's Viterbi column, advanced frame by frame over chunks of
    // frames; after each chunk the models of their own Gaussians whose best
    // path has fallen more than beam below the best of all are dropped.
    struct Model {
        const Entry *entry;
        std::size_t block;
        std::size_t offset;  // of its column in delta
    };
    std::vector<Model> models;
    std::size_t total = 0;
    // Where each block's spelled words begin in delta (after its own models).
    std::vector<std::size_t> spelledOffset(blocks_.size());
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const Block &block = *blocks_[b];
        for (std::size_t i = 0; i < block.models.size(); ++i) {
            if (i == block.own) spelledOffset[b] = total;
            models.push_back({&block.models[i], b, total});
            total += static_cast<std::size_t>(block.models[i].states);
        }
    }
    std::vector<float> delta(total, kMinusInf);
    std::vector<std::size_t> alive;
    // The blocks whose spelled words are scored together: those most of
    // whose spelled words are asked for (the spelled words are never
    // dropped, so this holds for the whole utterance).
    std::vector<std::size_t> spelledAlive(blocks_.size());
    for (std::size_t m = 0; m < models.size(); ++m) {
        const Entry &e = *models[m].entry;
        if (e.word >= 0 && e.word < words && e.states <= frames &&
            (only.empty() || (static_cast<std::size_t>(e.word) < only.size() && only[static_cast<std::size_t>(e.word)]))) {
            alive.push_back(m);
            spelledAlive[models[m].block] += e.mixtures == 0;
        }
    }
    std::vector<char> together(blocks_.size());
    for (std::size_t k = 0; k < blocks_.size(); ++k)
        together[k] = spelledAlive[k] * 2 > blocks_[k]->models.size() - blocks_[k]->own;
    std::vector<float> came;
    const PhoneStates *phones = phones_.get();
    const bool loop = phones && phones->states > 0;
    std::vector<float> loopDelta(loop ? static_cast<std::size_t>(phones->states) : 0, kMinusInf);
    constexpr int kChunk = 16;
    std::vector<RowMatrix> scores(blocks_.size());
    std::vector<std::size_t> ownAlive(blocks_.size());
    std::vector<char> whole(blocks_.size());
    RowMatrix mine, phoneGaussians, phoneStates;
    std::vector<float> b;
    for (int start = 0; start < frames && (!alive.empty() || loop); start += kChunk) {
        const int count = std::min(kChunk, frames - start);
        const auto chunk = f.middleRows(start, count);
        if (loop) {
            phoneGaussians.noalias() = chunk * phones->packed.columns;
            phoneGaussians.rowwise() += phones->packed.constants.transpose();
            phoneStates = StateScores(phoneGaussians, phones->states, phones->mixtures);
        }
        // One product for all own models of a block while many are left, one
        // a model after.
        std::fill(ownAlive.begin(), ownAlive.end(), 0);
        for (std::size_t m : alive) ownAlive[models[m].block] += models[m].entry->mixtures > 0;
        for (std::size_t k = 0; k < blocks_.size(); ++k) {
            const Block &block = *blocks_[k];
            whole[k] = ownAlive[k] * 2 > block.own;
            if (!whole[k]) continue;
            scores[k].noalias() = chunk * block.packed.columns;
            scores[k].rowwise() += block.packed.constants.transpose();
        }
        if (start == 0)
            for (std::size_t m : alive)
                if (models[m].entry->mixtures == 0 && together[models[m].block])
                    delta[models[m].offset] = phoneStates(0, models[m].entry->shared[0]);
        for (std::size_t k = 0; k < blocks_.size(); ++k) {
            if (!together[k]) continue;
            const Block &block = *blocks_[k];
            came.resize(block.spelledState.size());
            for (int c = start == 0 ? 1 : 0; c < count; ++c)
                SpelledStep(delta.data() + spelledOffset[k], came.data(), phoneStates.row(c).data(),
                            block.spelledState, block.spelledStay, block.spelledCameFrom);
        }
        float top = kMinusInf;
        std::vector<float> modelBest(alive.size(), kMinusInf);
        for (std::size_t a = 0; a < alive.size(); ++a) {
            const Model &model = models[alive[a]];
            const Entry &e = *model.entry;
            const PackedGaussians &packed = blocks_[model.block]->packed;
            const bool inWhole = whole[model.block] != 0;
            float *d = delta.data() + model.offset;
            if (e.mixtures == 0 && together[model.block]) {
                // Scored with its block above. Its best is over the states
                // from which the end is still in reach, as ViterbiStep
                // keeps them.
                const int lowest = std::max(0, e.states - (frames - (start + count - 1)));
                for (int s = lowest; s < e.states; ++s) modelBest[a] = std::max(modelBest[a], d[s]);
                top = std::max(top, modelBest[a]);
                continue;
            }
            b.resize(static_cast<std::size_t>(e.states));
            const Eigen::Index g = static_cast<Eigen::Index>(e.states) * e.mixtures;
            if (e.mixtures > 0 && !inWhole) {
                // Small products: coefficient by coefficient, without the
                // packing a large product pays for.
                mine.noalias() = chunk.lazyProduct(packed.columns.middleCols(e.column, g));
                mine.rowwise() += packed.constants.segment(e.column, g).transpose();
            }
            for (int c = 0; c < count; ++c) {
                if (e.mixtures == 0) {
                    for (int s = 0; s < e.states; ++s)
                        b[static_cast<std::size_t>(s)] = phoneStates(c, e.shared[static_cast<std::size_t>(s)]);
                } else {
                    const float *row = inWhole ? scores[model.block].row(c).data() + e.column : mine.row(c).data();
                    if (e.mixtures == 1) std::copy(row, row + e.states, b.begin());
                    else
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
            const bool spelled = models[alive[a]].entry->mixtures == 0;
            if (std::isfinite(modelBest[a]) && (spelled || modelBest[a] >= top - beam)) alive[kept++] = alive[a];
        }
        alive.resize(kept);

        // The phone loop: any unit after the best unit end, at a cost.
        for (int c = 0; loop && c < count; ++c) {
            const int t = start + c;
            float bestEnd = kMinusInf;
            if (t > 0)
                for (int u : phones->loopUnits) {
                    const auto last = static_cast<std::size_t>(phones->unitFirst[static_cast<std::size_t>(u)] +
                                                               phones->models->units[static_cast<std::size_t>(u)].states - 1);
                    bestEnd = std::max(bestEnd, loopDelta[last] + phones->leave[last]);
                }
            for (int u : phones->loopUnits) {
                const int first = phones->unitFirst[static_cast<std::size_t>(u)];
                for (int s = first + phones->models->units[static_cast<std::size_t>(u)].states - 1; s >= first; --s) {
                    const auto ss = static_cast<std::size_t>(s);
                    float best = t == 0 ? kMinusInf : loopDelta[ss] + phones->stay[ss];
                    if (s > first) best = std::max(best, loopDelta[ss - 1] + phones->leave[ss - 1]);
                    else best = std::max(best, t == 0 ? -kLoopInsertionPenalty : bestEnd - kLoopInsertionPenalty);
                    loopDelta[ss] = best + phoneStates(c, s);
                }
            }
        }
    }
    for (std::size_t m : alive) {
        const Entry &e = *models[m].entry;
        const float score = delta[models[m].offset + static_cast<std::size_t>(e.states - 1)] / static_cast<float>(frames);
        float &slot = result.words[static_cast<std::size_t>(e.word)];
        slot = std::max(slot, score);
    }
    if (loop) {
        float best = kMinusInf;
        for (int u : phones->loopUnits)
            best = std::max(best, loopDelta[static_cast<std::size_t>(phones->unitFirst[static_cast<std::size_t>(u)] +
                                                                    phones->models->units[static_cast<std::size_t>(u)].states - 1)]);
        result.phoneLoop = best / static_cast<float>(frames);
    }
    return result;
}

}  // namespace tessary
