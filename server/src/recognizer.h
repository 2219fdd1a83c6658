// Isolated-word recognition over the client's frames: endpoint detection on
// the log energy, then dynamic time warping of the cepstra against every
// template of the vocabulary.
//
// Endpoints. With e[t] the frame's log10 energy (non-finite values and values
// below 0 count as 0), the background b is the 10th percentile of e and the
// peak P its maximum. The utterance holds speech when P >= kMinPeakEnergy and
// P - b >= kMinDynamicRange; the speech runs from the first to the last frame
// of the runs of at least kMinRunFrames frames with e[t] >= max(b + 1, P - 3),
// widened by kEndpointMargin frames on each side.
//
// Patterns. Each frame of the speech becomes the vector
//   (c1, ..., c8, kEnergyWeight * max(e[t] - P, -3)),   kEnergyWeight = 3,
// of its liftered cepstra and its energy below the speech's peak.
//
// Matching. The distance of two patterns a (n frames) and b (m frames) is
//   D(n, m) / (n + m),   D(i, j) = min(D(i-1, j) + d, D(i-1, j-1) + 2d, D(i, j-1) + d)
// with d = |a_i - b_j| (Euclidean) and D(1, 1) = 2 d(1, 1): the symmetric
// step pattern, whose weights add up to n + m along every path, so the
// distance is an average per step. Smaller is better.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessary {

struct VocabularyState;

inline constexpr float kMinPeakEnergy = 4.0f;
inline constexpr float kMinDynamicRange = 1.0f;
inline constexpr int kMinRunFrames = 3;
inline constexpr int kEndpointMargin = 2;
inline constexpr int kMinSpeechFrames = 8;
inline constexpr int kPatternDims = 9;

struct Segment {
    int first = 0;  // first frame of the speech
    int last = 0;   // last frame of the speech, inclusive
};

// Where the speech lies in frames (kFrameFloats floats each), or nothing
// when the frames hold no speech.
std::optional<Segment> FindSpeech(std::span<const float> frames);

// The frames of the speech, copied, or an empty vector.
std::vector<float> CutSpeech(std::span<const float> frames);

// Frames of speech turned into the vectors that are matched.
struct Pattern {
    std::vector<float> values;  // kPatternDims per frame
    int frames = 0;
};
Pattern MakePattern(std::span<const float> speechFrames);

// Path-normalised distance of two patterns; infinity when one is empty.
float DtwDistance(const Pattern &a, const Pattern &b);

// A word and its distance to the utterance (smaller is closer).
struct Scored {
    std::string word;
    float distance = 0;
};

// Matches the speech frames against every template of every word; best
// first (a word's distance is that of its closest template; ties keep the
// vocabulary's order).
std::vector<Scored> Rank(std::span<const float> speechFrames, const VocabularyState &vocabulary);

}  // namespace tessary
