#include "recognizer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "frame_features.h"
#include "vocabulary.h"

namespace tessary {
namespace {

constexpr float kEnergyWeight = 3.0f;
constexpr float kEnergyRange = 3.0f;

float CleanEnergy(float e) { return std::isfinite(e) && e > 0.0f ? e : 0.0f; }

std::vector<float> Energies(std::span<const float> frames) {
    const std::size_t count = frames.size() / kFrameFloats;
    std::vector<float> e(count);
    for (std::size_t t = 0; t < count; ++t) e[t] = CleanEnergy(frames[t * kFrameFloats + kNumCep]);
    return e;
}

}  // namespace

std::optional<Segment> FindSpeech(std::span<const float> frames) {
    const std::vector<float> e = Energies(frames);
    const int count = static_cast<int>(e.size());
    if (count < kMinSpeechFrames) return std::nullopt;
    std::vector<float> sorted = e;
    const auto tenth = sorted.begin() + count / 10;
    std::nth_element(sorted.begin(), tenth, sorted.end());
    const float background = *tenth;
    const float peak = *std::max_element(e.begin(), e.end());
    if (peak < kMinPeakEnergy || peak - background < kMinDynamicRange) return std::nullopt;
    const float threshold = std::max(background + 1.0f, peak - kEnergyRange);

    int first = -1;
    int last = -1;
    int run = 0;
    for (int t = 0; t < count; ++t) {
        run = e[t] >= threshold ? run + 1 : 0;
        if (run == kMinRunFrames) {
            if (first < 0) first = t - kMinRunFrames + 1;
        }
        if (run >= kMinRunFrames) last = t;
    }
    if (first < 0) return std::nullopt;
    Segment s{std::max(0, first - kEndpointMargin), std::min(count - 1, last + kEndpointMargin)};
    if (s.last - s.first + 1 < kMinSpeechFrames) return std::nullopt;
    return s;
}

std::vector<float> CutSpeech(std::span<const float> frames) {
    const std::optional<Segment> s = FindSpeech(frames);
    if (!s) return {};
    return {frames.begin() + s->first * kFrameFloats, frames.begin() + (s->last + 1) * kFrameFloats};
}

Pattern MakePattern(std::span<const float> speechFrames) {
    Pattern p;
    p.frames = static_cast<int>(speechFrames.size() / kFrameFloats);
    if (p.frames == 0) return p;
    const std::vector<float> e = Energies(speechFrames);
    const float peak = *std::max_element(e.begin(), e.end());
    p.values.resize(static_cast<std::size_t>(p.frames) * kPatternDims);
    for (int t = 0; t < p.frames; ++t) {
        const float *in = speechFrames.data() + static_cast<std::size_t>(t) * kFrameFloats;
        float *out = p.values.data() + static_cast<std::size_t>(t) * kPatternDims;
        for (int i = 0; i < kNumCep; ++i) out[i] = std::isfinite(in[i]) ? in[i] : 0.0f;
        out[kNumCep] = kEnergyWeight * std::max(e[t] - peak, -kEnergyRange);
    }
    return p;
}

float DtwDistance(const Pattern &a, const Pattern &b) {
    const int n = a.frames;
    const int m = b.frames;
    if (n == 0 || m == 0) return std::numeric_limits<float>::infinity();
    const float inf = std::numeric_limits<float>::infinity();
    // Two rows of the cumulative cost, column 0 standing before the first frame.
    std::vector<float> previous(m + 1, inf);
    std::vector<float> current(m + 1, inf);
    for (int i = 1; i <= n; ++i) {
        const float *ai = a.values.data() + static_cast<std::size_t>(i - 1) * kPatternDims;
        current[0] = inf;
        for (int j = 1; j <= m; ++j) {
            const float *bj = b.values.data() + static_cast<std::size_t>(j - 1) * kPatternDims;
            float sum = 0.0f;
            for (int k = 0; k < kPatternDims; ++k) {
                const float diff = ai[k] - bj[k];
                sum += diff * diff;
            }
            const float d = std::sqrt(sum);
            if (i == 1 && j == 1) {
                current[j] = 2.0f * d;
                continue;
            }
            current[j] = std::min({previous[j] + d, previous[j - 1] + 2.0f * d, current[j - 1] + d});
        }
        std::swap(previous, current);
    }
    return previous[m] / static_cast<float>(n + m);
}

std::vector<Scored> Rank(std::span<const float> speechFrames, const VocabularyState &vocabulary) {
    const Pattern utterance = MakePattern(speechFrames);
    std::vector<Scored> ranking;
    ranking.reserve(vocabulary.words.size());
    for (const auto &word : vocabulary.words) {
        float best = std::numeric_limits<float>::infinity();
        for (const Pattern &t : word->patterns) best = std::min(best, DtwDistance(utterance, t));
        ranking.push_back({word->name, best});
    }
    std::stable_sort(ranking.begin(), ranking.end(),
                     [](const Scored &a, const Scored &b) { return a.distance < b.distance; });
    return ranking;
}

}  // namespace tessary
