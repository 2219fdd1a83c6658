// Endpoints and time warping on made-up frames.
#include <gtest/gtest.h>

#include <cmath>

#include "frame_features.h"
#include "recognizer.h"
#include "test_support.h"

namespace tessary::test {
namespace {

TEST(FindSpeech, FindsTheWordBetweenSilencesWithAMargin) {
    const auto frames = Utterance(0, 40);  // 20 silent frames, 40 of the word, 25 silent
    const auto s = FindSpeech(frames);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->first, 20 - kEndpointMargin);
    EXPECT_EQ(s->last, 59 + kEndpointMargin);
    EXPECT_EQ(CutSpeech(frames).size(), static_cast<std::size_t>(s->last - s->first + 1) * kFrameFloats);
}

TEST(FindSpeech, SilenceQuietSoundAndAClickAreNotSpeech) {
    EXPECT_FALSE(FindSpeech(SilenceFrames(100)));
    EXPECT_FALSE(FindSpeech({}));
    // Steady low background with no louder part.
    auto quiet = SilenceFrames(100);
    for (std::size_t t = 0; t < 100; ++t) quiet[t * kFrameFloats + kNumCep] = 3.0f;
    EXPECT_FALSE(FindSpeech(quiet));
    // A click of two loud frames is shorter than a run.
    auto click = SilenceFrames(100);
    click[50 * kFrameFloats + kNumCep] = 8.0f;
    click[51 * kFrameFloats + kNumCep] = 8.0f;
    EXPECT_FALSE(FindSpeech(click));
}

TEST(FindSpeech, NonFiniteNumbersDoNotBreakIt) {
    auto frames = Utterance(1, 30);
    frames[30 * kFrameFloats + 2] = std::nanf("");
    frames[5 * kFrameFloats + kNumCep] = std::nanf("");
    const auto s = FindSpeech(frames);
    ASSERT_TRUE(s);
    const Pattern p = MakePattern(CutSpeech(frames));
    for (float v : p.values) EXPECT_TRUE(std::isfinite(v));
}

TEST(Dtw, SameWordAtAnotherPaceIsCloserThanAnotherWord) {
    const Pattern word = MakePattern(SyntheticWord(3, 40));
    EXPECT_FLOAT_EQ(DtwDistance(word, word), 0.0f);
    const Pattern slow = MakePattern(SyntheticWord(3, 70));
    const Pattern other = MakePattern(SyntheticWord(4, 40));
    EXPECT_LT(DtwDistance(slow, word), DtwDistance(other, word));
    EXPECT_FLOAT_EQ(DtwDistance(slow, word), DtwDistance(word, slow));
    EXPECT_TRUE(std::isinf(DtwDistance(word, Pattern{})));
}

TEST(Dtw, DistanceIsAnAverageOverThePath) {
    // Two one-dimensional constant patterns differing by 1 in one value:
    // every step costs 1 whatever the lengths.
    auto a = SyntheticWord(0, 10);
    auto b = a;
    for (std::size_t t = 0; t < 10; ++t) b[t * kFrameFloats] = a[t * kFrameFloats] + 1.0f;
    EXPECT_NEAR(DtwDistance(MakePattern(a), MakePattern(b)), 1.0f, 1e-5f);
}

}  // namespace
}  // namespace tessary::test
