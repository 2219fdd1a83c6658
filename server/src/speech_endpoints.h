// Where the speech of an utterance lies, from its frames' log10 energy.
//
// With e[t] the frame's log10 energy (non-finite values and values below 0
// count as 0) and s[t] its mean over frames t-1 .. t+1:
//   noise floor  F = the 10th percentile of s;
//   noise spread σ = the standard deviation of the frames of s at or below
//                    its 30th percentile, at least kMinNoiseSpread;
//   peak         P = the largest s.
// The utterance holds speech when P >= kMinPeakEnergy and P - F >= kMinSpeechRise.
// Then, with R = P - F,
//   start level  on  = max(F + clamp(0.3 R, max(4σ, kMinOnRise), kMaxOnRise),
//                          P - kMaxOnDepth)
//   stay level   off = F + 0.5 (on - F)
// a stretch of speech starts at the first frame of kMinRunFrames frames in a
// row with s >= on, reaches back over the frames before it with s >= off,
// and ends at its last frame with s >= off once kHangoverFrames frames in a
// row have stayed below off. Of the stretches, the one with the most energy
// above the floor is the word, together with the stretches that follow one
// another at most kJoinGapFrames apart on either side of it (the syllables
// of a word parted by a stop); it is widened by kEndpointMargin frames on
// each side and, when longer than kMaxSpeechFrames, cut to the window of
// that length with the most energy above the floor.
#pragma once

#include <optional>
#include <span>

namespace tessary {

inline constexpr float kMinPeakEnergy = 3.5f;
inline constexpr float kMinSpeechRise = 0.5f;  // 5 dB
inline constexpr float kMinNoiseSpread = 0.02f;
inline constexpr float kMinOnRise = 0.25f;
inline constexpr float kMaxOnRise = 1.2f;
inline constexpr float kMaxOnDepth = 3.0f;  // 30 dB
inline constexpr int kMinRunFrames = 3;
inline constexpr int kHangoverFrames = 20;
inline constexpr int kJoinGapFrames = 35;
inline constexpr int kEndpointMargin = 5;  // 50 ms: the faint onsets and releases of real voices
inline constexpr int kMinSpeechFrames = 8;
inline constexpr int kMaxSpeechFrames = 300;  // 3 s: longer than any one word

struct Endpoints {
    bool speech = false;   // whether the utterance holds speech
    int first = 0;         // first frame of the speech
    int last = -1;         // last frame of the speech, inclusive
    int frames = 0;        // frames of the utterance
    float noiseFloor = 0;  // F, log10 energy
    float peak = 0;        // P, log10 energy
};

// Finds the speech in frames (kFrameFloats floats each).
Endpoints DetectSpeech(std::span<const float> frames);

}  // namespace tessary
