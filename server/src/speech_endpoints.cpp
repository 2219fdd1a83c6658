#include "speech_endpoints.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "frame_features.h"

namespace tessary {
namespace {

struct Stretch {
    int first = 0;
    int last = 0;
    double mass = 0;  // energy above the floor
};

}  // namespace

Endpoints DetectSpeech(std::span<const float> frames) {
    Endpoints result;
    const int count = static_cast<int>(frames.size() / kFrameFloats);
    result.frames = count;
    if (count < kMinSpeechFrames) return result;

    // Energy, smoothed over three frames.
    std::vector<float> e(static_cast<std::size_t>(count));
    for (int t = 0; t < count; ++t) {
        const float v = frames[static_cast<std::size_t>(t) * kFrameFloats + kNumCep];
        e[static_cast<std::size_t>(t)] = std::isfinite(v) && v > 0.0f ? v : 0.0f;
    }
    std::vector<float> s(e.size());
    for (int t = 0; t < count; ++t) {
        const int a = std::max(0, t - 1);
        const int b = std::min(count - 1, t + 1);
        float sum = 0;
        for (int i = a; i <= b; ++i) sum += e[static_cast<std::size_t>(i)];
        s[static_cast<std::size_t>(t)] = sum / static_cast<float>(b - a + 1);
    }

    // Noise floor, its spread, and the peak.
    std::vector<float> sorted = s;
    std::sort(sorted.begin(), sorted.end());
    const float floor = sorted[static_cast<std::size_t>(count / 10)];
    const std::size_t low = std::max<std::size_t>(2, static_cast<std::size_t>(count) * 3 / 10);
    double mean = 0;
    for (std::size_t i = 0; i < low; ++i) mean += sorted[i];
    mean /= static_cast<double>(low);
    double var = 0;
    for (std::size_t i = 0; i < low; ++i) var += (sorted[i] - mean) * (sorted[i] - mean);
    const float spread = std::max(kMinNoiseSpread, static_cast<float>(std::sqrt(var / static_cast<double>(low))));
    const float peak = sorted.back();
    result.noiseFloor = floor;
    result.peak = peak;
    if (peak < kMinPeakEnergy || peak - floor < kMinSpeechRise) return result;

    const float rise = peak - floor;
    const float onRise = std::clamp(0.3f * rise, std::max(4.0f * spread, kMinOnRise), std::max(kMaxOnRise, 4.0f * spread));
    // Never deeper than kMaxOnDepth below the peak: over digital silence or
    // a very quiet room the floor says nothing about where a word begins.
    const float on = std::max(floor + std::min(onRise, 0.8f * rise), peak - kMaxOnDepth);
    const float off = floor + 0.5f * (on - floor);

    // Stretches of speech, with hysteresis and hangover.
    std::vector<Stretch> stretches;
    int t = 0;
    while (t < count) {
        int run = 0;
        while (t < count && run < kMinRunFrames) {
            run = s[static_cast<std::size_t>(t)] >= on ? run + 1 : 0;
            ++t;
        }
        if (run < kMinRunFrames) break;
        Stretch st;
        st.first = t - kMinRunFrames;
        while (st.first > 0 && s[static_cast<std::size_t>(st.first - 1)] >= off) --st.first;
        if (!stretches.empty() && st.first <= stretches.back().last) st.first = stretches.back().last + 1;
        int lastAbove = t - 1;
        int quiet = 0;
        while (t < count && quiet < kHangoverFrames) {
            if (s[static_cast<std::size_t>(t)] >= off) {
                lastAbove = t;
                quiet = 0;
            } else {
                ++quiet;
            }
            ++t;
        }
        st.last = lastAbove;
        for (int i = st.first; i <= st.last; ++i) st.mass += s[static_cast<std::size_t>(i)] - floor;
        stretches.push_back(st);
        t = lastAbove + 1;
        // Skip the quiet frames just seen, so that they do not start a run.
        while (t < count && s[static_cast<std::size_t>(t)] < on) ++t;
    }
    if (stretches.empty()) return result;
    const auto bestAt = std::max_element(stretches.begin(), stretches.end(),
                                         [](const Stretch &a, const Stretch &b) { return a.mass < b.mass; });
    // Syllables parted by a stop's closure belong to the same word.
    auto from = bestAt;
    while (from != stretches.begin() && from->first - std::prev(from)->last <= kJoinGapFrames) --from;
    auto to = bestAt;
    while (std::next(to) != stretches.end() && std::next(to)->first - to->last <= kJoinGapFrames) ++to;
    int first = std::max(0, from->first - kEndpointMargin);
    int last = std::min(count - 1, to->last + kEndpointMargin);
    if (last - first + 1 > kMaxSpeechFrames) {
        // The window of kMaxSpeechFrames with the most energy above the floor.
        double window = 0;
        for (int i = first; i < first + kMaxSpeechFrames; ++i) window += s[static_cast<std::size_t>(i)] - floor;
        double bestWindow = window;
        int bestFirst = first;
        for (int i = first + 1; i + kMaxSpeechFrames - 1 <= last; ++i) {
            window += s[static_cast<std::size_t>(i + kMaxSpeechFrames - 1)] - s[static_cast<std::size_t>(i - 1)];
            if (window > bestWindow) {
                bestWindow = window;
                bestFirst = i;
            }
        }
        first = bestFirst;
        last = bestFirst + kMaxSpeechFrames - 1;
    }
    if (last - first + 1 < kMinSpeechFrames) return result;
    result.speech = true;
    result.first = first;
    result.last = last;
    return result;
}

}  // namespace tessary
