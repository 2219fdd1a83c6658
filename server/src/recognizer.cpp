#include "recognizer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

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

std::vector<Scored> Rank(std::span<const float> speechFrames, const VocabularyState &vocabulary,
                         float *confidence) {
    const FeatureMatrix x = MakeFeatures(speechFrames);
    const int words = static_cast<int>(vocabulary.words.size());
    ModelBank::Scores scored;
    if (vocabulary.bank) {
        scored = vocabulary.bank->ScoreWords(x, words);
    } else {
        VocabularyState prepared = vocabulary;
        PrepareVocabulary(prepared);
        scored = prepared.bank->ScoreWords(x, words);
    }
    const std::vector<float> &scores = scored.words;
    if (confidence) {
        const float best = scores.empty() ? ModelBank::kLowest : *std::max_element(scores.begin(), scores.end());
        // The whole utterance's log probability below the loop's, per second:
        // a long stretch of speech that the word does not explain costs more
        // than a short one.
        *confidence = std::isfinite(scored.phoneLoop)
                          ? (best - scored.phoneLoop) * static_cast<float>(x.rows()) / kFramesPerSecond
                          : std::numeric_limits<float>::infinity();
    }
    std::vector<Scored> ranking;
    ranking.reserve(vocabulary.words.size());
    for (int i = 0; i < words; ++i) {
        const float s = scores[static_cast<std::size_t>(i)];
        ranking.push_back({vocabulary.words[static_cast<std::size_t>(i)]->name,
                           std::isfinite(s) ? -s : std::numeric_limits<float>::infinity()});
    }
    std::stable_sort(ranking.begin(), ranking.end(),
                     [](const Scored &a, const Scored &b) { return a.distance < b.distance; });
    return ranking;
}

Recognition Recognise(std::span<const float> frames, const VocabularyState &vocabulary) {
    const auto start = std::chrono::steady_clock::now();
    Recognition r;
    r.endpoints = DetectSpeech(frames);
    if (r.endpoints.speech && !vocabulary.words.empty()) {
        r.ranking = Rank(frames.subspan(static_cast<std::size_t>(r.endpoints.first) * kFrameFloats,
                                        static_cast<std::size_t>(r.endpoints.last - r.endpoints.first + 1) *
                                            kFrameFloats),
                         vocabulary, &r.confidence);
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
