#include "recognizer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "cepstral_warp.h"
#include "packet/code_page.h"
#include "feature_vectors.h"
#include "frame_features.h"
#include "vocabulary.h"

namespace tessary {

std::optional<Segment> FindSpeech(std::span<const float> frames) {
    const Endpoints e = DetectSpeech(frames);
    if (!e.speech) return std::nullopt;
    return Segment{e.first, e.last};
}

std::vector<float> CutSpeech(std::span<const float> frames) {
    const std::optional<Segment> s = FindSpeech(frames);
    if (!s) return {};
    return {frames.begin() + s->first * kFrameFloats, frames.begin() + (s->last + 1) * kFrameFloats};
}

namespace {

// The warps an utterance is heard through, in two steps each way: towards a
// speaker of a short vocal tract (formants moved down) and of a long one
// (moved up). The second step of a way is taken only when the first did
// better than the speech as it is.
constexpr float kWarpStep = 0.1f;
// A warp's best word must score this much better per frame, per unit of
// |alpha|, to be taken over the speech as it is: a voice the models know
// is heard unwarped.
constexpr float kWarpCost = 2.0f;
// How many of the unwarped speech's best words the warps score.
constexpr int kWarpShortlist = 32;

const CepstralWarp &Warp(int steps) {
    static const CepstralWarp warps[] = {CepstralWarp(-2 * kWarpStep), CepstralWarp(-kWarpStep),
                                         CepstralWarp(kWarpStep), CepstralWarp(2 * kWarpStep)};
    return warps[steps < 0 ? steps + 2 : steps + 1];
}

struct Ranked {
    std::vector<Scored> ranking;
    float confidence = std::numeric_limits<float>::infinity();
    float warp = 0;
};

float Best(const std::vector<float> &scores) {
    return scores.empty() ? ModelBank::kLowest : *std::max_element(scores.begin(), scores.end());
}

// The scores of the words (as ScoreWords gives them) and of the phone loop,
// for the speech as it is or through the warp whose best word scores best.
ModelBank::Scores ScoreThroughWarps(std::span<const float> speechFrames, const FeatureMatrix &x, int words,
                                    const ModelBank &bank, float *warp) {
    ModelBank::Scores plain = bank.ScoreWords(x, words);
    // The unwarped speech's best words.
    std::vector<std::pair<float, int>> order;
    order.reserve(static_cast<std::size_t>(words));
    for (int i = 0; i < words; ++i) order.push_back({-plain.words[static_cast<std::size_t>(i)], i});
    const auto keep = std::min<std::size_t>(kWarpShortlist, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end());
    std::vector<std::uint8_t> shortlist(static_cast<std::size_t>(words), 0);
    for (std::size_t i = 0; i < keep; ++i) shortlist[static_cast<std::size_t>(order[i].second)] = 1;

    const float unwarped = Best(plain.words);
    float best = unwarped;
    ModelBank::Scores chosen;
    for (int way : {-1, 1})
        for (int steps = way; std::abs(steps) <= 2; steps += way) {
            const CepstralWarp &w = Warp(steps);
            ModelBank::Scores s =
                bank.ScoreWords(MakeFeatures(w.Apply(speechFrames)), words, ModelBank::kDefaultBeam, shortlist);
            const float score = Best(s.words) + w.LogDeterminant() - kWarpCost * std::abs(w.Alpha());
            if (score > best) {
                best = score;
                chosen = std::move(s);
                *warp = w.Alpha();
            }
            if (score <= unwarped) break;
        }
    if (chosen.words.empty()) return plain;
    // The shortlisted words as the warp hears them; the others after them,
    // as the unwarped speech put them.
    float last = std::numeric_limits<float>::infinity();  // the lowest finite shortlisted score
    for (std::size_t i = 0; i < shortlist.size(); ++i)
        if (shortlist[i] && std::isfinite(chosen.words[i])) last = std::min(last, chosen.words[i]);
    for (std::size_t i = 0; i < shortlist.size(); ++i)
        if (!shortlist[i]) chosen.words[i] = std::min(plain.words[i], last);
    return chosen;
}

Ranked RankWords(std::span<const float> speechFrames, const VocabularyState &vocabulary) {
    const int words = static_cast<int>(vocabulary.words.size());
    VocabularyState prepared;
    const ModelBank *bank = vocabulary.bank.get();
    if (!bank) {
        prepared = vocabulary;
        PrepareVocabulary(prepared);
        bank = prepared.bank.get();
    }
    Ranked ranked;
    const FeatureMatrix x = MakeFeatures(speechFrames);
    const bool warp = vocabulary.phones && !vocabulary.phones->Empty() && x.rows() > 0;
    const ModelBank::Scores scored =
        warp ? ScoreThroughWarps(speechFrames, x, words, *bank, &ranked.warp) : bank->ScoreWords(x, words);
    const std::vector<float> &scores = scored.words;
    // The whole utterance's log probability below the loop's, per second:
    // a long stretch of speech that the word does not explain costs more
    // than a short one.
    if (std::isfinite(scored.phoneLoop))
        ranked.confidence = (Best(scores) - scored.phoneLoop) * static_cast<float>(x.rows()) / kFramesPerSecond;
    ranked.ranking.reserve(vocabulary.words.size());
    for (int i = 0; i < words; ++i) {
        const float s = scores[static_cast<std::size_t>(i)];
        ranked.ranking.push_back({vocabulary.words[static_cast<std::size_t>(i)]->name,
                                  std::isfinite(s) ? -s : std::numeric_limits<float>::infinity()});
    }
    std::stable_sort(ranked.ranking.begin(), ranked.ranking.end(),
                     [](const Scored &a, const Scored &b) { return a.distance < b.distance; });
    return ranked;
}

}  // namespace

std::vector<Scored> Rank(std::span<const float> speechFrames, const VocabularyState &vocabulary,
                         float *confidence) {
    Ranked ranked = RankWords(speechFrames, vocabulary);
    if (confidence) *confidence = ranked.confidence;
    return std::move(ranked.ranking);
}

Recognition Recognise(std::span<const float> frames, const VocabularyState &vocabulary) {
    const auto start = std::chrono::steady_clock::now();
    Recognition r;
    r.endpoints = DetectSpeech(frames);
    if (r.endpoints.speech && !vocabulary.words.empty()) {
        Ranked ranked = RankWords(frames.subspan(static_cast<std::size_t>(r.endpoints.first) * kFrameFloats,
                                                 static_cast<std::size_t>(r.endpoints.last - r.endpoints.first + 1) *
                                                     kFrameFloats),
                                  vocabulary);
        r.ranking = std::move(ranked.ranking);
        r.confidence = ranked.confidence;
        r.warp = ranked.warp;
        r.rejected = !r.ranking.empty() && r.confidence < -vocabulary.rejectionMargin;
    }
    r.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return r;
}

std::string Describe(const Recognition &r) {
    char text[160];
    const Endpoints &e = r.endpoints;
    std::string line;
    if (e.speech)
        std::snprintf(text, sizeof text, "speech in frames %d to %d of %d (noise floor %.2f, peak %.2f)", e.first,
                      e.last, e.frames, static_cast<double>(e.noiseFloor), static_cast<double>(e.peak));
    else
        std::snprintf(text, sizeof text, "no speech in %d frames (noise floor %.2f, peak %.2f)", e.frames,
                      static_cast<double>(e.noiseFloor), static_cast<double>(e.peak));
    line = text;
    if (!r.ranking.empty()) {
        line += "; best";
        for (std::size_t i = 0; i < std::min<std::size_t>(3, r.ranking.size()); ++i) {
            std::snprintf(text, sizeof text, "%s %s %.3f", i ? "," : "", Cp1250ToUtf8(r.ranking[i].word).c_str(),
                          static_cast<double>(r.ranking[i].distance));
            line += text;
        }
    }
    if (r.warp != 0.0f) {
        std::snprintf(text, sizeof text, "; warp %+.1f", static_cast<double>(r.warp));
        line += text;
    }
    if (!r.ranking.empty() && std::isfinite(r.confidence)) {
        std::snprintf(text, sizeof text, "; confidence %.3f%s", static_cast<double>(r.confidence),
                      r.rejected ? ", not recognised" : "");
        line += text;
    }
    std::snprintf(text, sizeof text, "; %.2f ms", r.milliseconds);
    line += text;
    return line;
}

}  // namespace tessary
