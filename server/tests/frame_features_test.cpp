// The server's analysis of a recording gives exactly what the library's
// exported offline analysis (InitClient with the client's settings, Test,
// GetParam) gives, so recordings made into models recordings match the client's
// frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "frame_features.h"
#include "vantrel.h"

namespace tessary {
namespace {

TEST(AnalyzeRecording, MatchesTheLibrarysTestExport) {
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 300.0);
    std::vector<std::int16_t> samples(12345);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(4000.0 * std::sin(0.07 * i) * std::sin(0.0005 * i) + noise(random));

    ASSERT_EQ(InitClient(nullptr, 370, 8, 160, 80, 20000), 0);
    ASSERT_EQ(::Test(samples.data(), static_cast<std::int32_t>(samples.size())), 0);
    std::vector<float> expected;
    std::vector<std::uint8_t> packet(512 * 4);
    while (GetBufLen() > 0) {
        ASSERT_GE(GetParam(packet.data(), 512), 0);
        std::int32_t length = 0;
        std::memcpy(&length, packet.data() + 8, 4);
        const std::size_t at = expected.size();
        expected.resize(at + static_cast<std::size_t>(length) / 4);
        std::memcpy(expected.data() + at, packet.data() + 12, static_cast<std::size_t>(length));
    }
    DeallocEnv();

    const std::vector<float> frames = AnalyzeRecording(samples);
    ASSERT_EQ(frames.size(), 153u * kFrameFloats);  // ceil((12345 - 160) / 80)
    ASSERT_EQ(frames.size(), expected.size());
    EXPECT_EQ(std::memcmp(frames.data(), expected.data(), frames.size() * sizeof(float)), 0);
}

TEST(AnalyzeRecording, TooShortGivesNothing) {
    EXPECT_TRUE(AnalyzeRecording(std::vector<std::int16_t>(160, 100)).empty());
    EXPECT_EQ(AnalyzeRecording(std::vector<std::int16_t>(161, 100)).size(), 9u);
}

// Cepstra of +-3e38 once made every distance infinite and still named a word.
TEST(FindImplausibleFrame, RefusesNonFiniteAndHugeValuesButNotSilence) {
    std::vector<float> frames(5 * kFrameFloats, 1.5f);
    frames[kNumCep] = -INFINITY;  // digital silence's energy
    EXPECT_EQ(FindImplausibleFrame(frames), std::nullopt);
    frames.push_back(NAN);  // not a whole frame: not looked at
    EXPECT_EQ(FindImplausibleFrame(frames), std::nullopt);
    for (const float bad : {NAN, INFINITY, -INFINITY, 3e38f, -3e38f, 2 * kMaxFeatureMagnitude}) {
        auto copy = frames;
        copy[3 * kFrameFloats + 2] = bad;
        EXPECT_EQ(FindImplausibleFrame(copy), std::optional<std::size_t>(3)) << bad;
    }
    for (const float bad : {INFINITY, NAN, 1e5f}) {
        auto copy = frames;
        copy[4 * kFrameFloats + kNumCep] = bad;  // an energy
        EXPECT_EQ(FindImplausibleFrame(copy), std::optional<std::size_t>(4)) << bad;
    }
}

}  // namespace
}  // namespace tessary
