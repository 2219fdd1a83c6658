#include "core/frame_analyzer.h"

#include "float_bits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

// Every allocation of this test program is counted, so that a test can show
// that the analysis allocates nothing.
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void *operator new(std::size_t size) {
    ++g_allocations;
    if (void *memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
// Kept out of line, so that no caller sees new paired with free.
[[gnu::noinline]] void operator delete(void *memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }

namespace vantrel {
namespace {

using Samples = std::vector<std::int16_t>;

using testing::Bits;
using testing::SameFloat;
using testing::SameFloats;

// A voiced-like test signal: two harmonics and a little noise.
Samples SpeechLike(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 300.0);
    Samples samples(count);
    for (std::size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / 8000.0;
        const double value = 6000.0 * std::sin(2 * std::numbers::pi * 180.0 * t) +
                             2500.0 * std::sin(2 * std::numbers::pi * 720.0 * t + 0.3) + noise(random);
        samples[n] = static_cast<std::int16_t>(std::lround(value));
    }
    return samples;
}

// Runs AnalyzeFrame frame after frame, as the capture tick does.
std::vector<float> SequentialFrames(FrameAnalyzer &analyzer, const Samples &samples,
                                    int frameCount) {
    const int stride = analyzer.NumCep() + 1;
    std::vector<float> out(static_cast<std::size_t>(frameCount) * stride);
    for (int f = 0; f < frameCount; ++f) {
        float *frame = out.data() + static_cast<std::size_t>(f) * stride;
        EXPECT_EQ(analyzer.AnalyzeFrame(samples.data() + f * analyzer.FrameShift(), frame), 0);
        frame[analyzer.NumCep()] = analyzer.LogEnergy();
    }
    return out;
}

std::vector<float> FramesAtOnce(FrameAnalyzer &analyzer, const Samples &samples,
                                int frameCount) {
    std::vector<float> out(static_cast<std::size_t>(frameCount) * (analyzer.NumCep() + 1));
    analyzer.AnalyzeFrames(samples.data(), frameCount, out.data());
    return out;
}

TEST(FrameAnalyzer, HammingWindowOfTheDefaultFrame) {
    FrameAnalyzer analyzer;
    const std::vector<float> &window = analyzer.GetHammingWindow();
    ASSERT_EQ(window.size(), 160u);
    EXPECT_FLOAT_EQ(window.front(), 0.08f);
    EXPECT_FLOAT_EQ(window.back(), 0.08f);
    for (std::size_t n = 0; n < window.size(); ++n) {
        EXPECT_NEAR(window[n], window[window.size() - 1 - n], 1e-6) << n;
        EXPECT_NE(window[n], 1.0f) << n;
    }
    EXPECT_NEAR(window[79], 0.99991f, 1e-5);
    EXPECT_NEAR(window[80], 0.99991f, 1e-5);
}

TEST(FrameAnalyzer, LifterWeightsForEightCoefficients) {
    FrameAnalyzer analyzer;
    const float expected[] = {2.530734f, 3.828427f, 4.695518f, 5.0f,
                              4.695518f, 3.828427f, 2.530734f, 1.0f};
    ASSERT_EQ(analyzer.GetLifterWeights().size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(analyzer.GetLifterWeights()[i], expected[i], 1e-6);
}

TEST(FrameAnalyzer, SilentFrameGivesZeroCoefficientsAndMinusInfinity) {
    FrameAnalyzer analyzer;
    const Samples silence(160, 0);
    float features[8];
    std::fill(std::begin(features), std::end(features), 7.0f);
    EXPECT_EQ(analyzer.AnalyzeFrame(silence.data(), features), 0);
    for (float c : features) EXPECT_EQ(c, 0.0f);
    EXPECT_TRUE(std::isinf(analyzer.LogEnergy()) && analyzer.LogEnergy() < 0);
    EXPECT_EQ(Bits(analyzer.PrevSample()), Bits(0.0f));
}

TEST(FrameAnalyzer, PrevSampleIsTheSampleBeforeTheNextFrame) {
    FrameAnalyzer analyzer;
    Samples frame = SpeechLike(160, 1);
    frame[79] = -32768;
    float features[8];
    analyzer.AnalyzeFrame(frame.data(), features);
    EXPECT_EQ(analyzer.PrevSample(), -32768.0f);

    ASSERT_EQ(analyzer.Configure(200, 50, 6, 5, 3), 0);
    EXPECT_EQ(analyzer.PrevSample(), 0.0f);
    Samples longer = SpeechLike(200, 2);
    longer[49] = 1234;
    analyzer.AnalyzeFrame(longer.data(), features);
    EXPECT_EQ(analyzer.PrevSample(), 1234.0f);
}

TEST(FrameAnalyzer, SameFrameTwiceDiffersOnlyThroughTheFirstWorkSample) {
    FrameAnalyzer analyzer;
    const Samples frame = SpeechLike(160, 3);
    analyzer.SetPrevSample(-5000.0f);
    float first[8], second[8], again[8];
    analyzer.AnalyzeFrame(frame.data(), first);
    const std::vector<float> firstWork = analyzer.GetWorkFrame();
    analyzer.AnalyzeFrame(frame.data(), second);
    const std::vector<float> secondWork = analyzer.GetWorkFrame();

    EXPECT_NE(Bits(firstWork[0]), Bits(secondWork[0]));
    for (std::size_t n = 1; n < firstWork.size(); ++n)
        EXPECT_EQ(Bits(firstWork[n]), Bits(secondWork[n])) << n;
    EXPECT_NE(std::vector<float>(first, first + 8), std::vector<float>(second, second + 8));

    // With the carried sample put back, the frame gives the first result again.
    analyzer.SetPrevSample(-5000.0f);
    analyzer.AnalyzeFrame(frame.data(), again);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Bits(first[i]), Bits(again[i])) << i;
}

TEST(FrameAnalyzer, OneCoefficientIsMinusTheFirstPredictorCoefficient) {
    FrameAnalyzer analyzer;
    ASSERT_EQ(analyzer.Configure(160, 80, 2, 1, 1), 0);
    EXPECT_NEAR(analyzer.GetLifterWeights()[0], 1.0f, 1e-6);
    const Samples frame = SpeechLike(160, 4);
    float c1 = 0.0f;
    analyzer.AnalyzeFrame(frame.data(), &c1);

    // a1 = -R1 / R0 of the pre-emphasised, windowed frame, so c1 = R1 / R0.
    std::vector<double> w(160);
    double previous = 0.0;
    for (int n = 0; n < 160; ++n) {
        w[n] = (frame[n] - 0.95 * previous) / 1.95 *
               (0.54 - 0.46 * std::cos(2 * std::numbers::pi * n / 159.0));
        previous = frame[n];
    }
    double r0 = 0.0, r1 = 0.0;
    for (int i = 0; i < 160; ++i) r0 += w[i] * w[i];
    for (int i = 0; i + 1 < 160; ++i) r1 += w[i + 1] * w[i];
    EXPECT_NEAR(c1, r1 / r0, 1e-5);
    EXPECT_NEAR(analyzer.LogEnergy(), std::log10(r0), 1e-5);
}

TEST(FrameAnalyzer, SecondConfigureReplacesEveryArray) {
    FrameAnalyzer analyzer;
    const Samples samples = SpeechLike(4000, 5);
    SequentialFrames(analyzer, samples, 3);  // leaves a carried sample behind

    ASSERT_EQ(analyzer.Configure(256, 100, 17, 16, 12), 0);
    EXPECT_EQ(analyzer.WindowLength(), 256);
    EXPECT_EQ(analyzer.FrameShift(), 100);
    EXPECT_EQ(analyzer.NumLags(), 17);
    EXPECT_EQ(analyzer.LpcOrder(), 16);
    EXPECT_EQ(analyzer.NumCep(), 12);
    EXPECT_EQ(analyzer.PrevSample(), 0.0f);
    ASSERT_EQ(analyzer.GetHammingWindow().size(), 256u);
    EXPECT_FLOAT_EQ(analyzer.GetHammingWindow()[255], 0.08f);
    ASSERT_EQ(analyzer.GetLifterWeights().size(), 12u);
    EXPECT_NEAR(analyzer.GetLifterWeights()[5], 7.0f, 1e-6);  // 1 + 12/2 at c6

    FrameAnalyzer fresh;
    ASSERT_EQ(fresh.Configure(256, 100, 17, 16, 12), 0);
    EXPECT_TRUE(SameFloats(SequentialFrames(fresh, samples, 30),
                           SequentialFrames(analyzer, samples, 30), 13));
}

TEST(FrameAnalyzer, ConfigureRejectsParametersOutsideTheLimitsAndKeepsTheOldSet) {
    struct Parameters {
        int windowLength, frameShift, numLags, lpcOrder, numCep;
    };
    const Parameters rejected[] = {
        {1, 1, 2, 1, 1},      {0, 1, 2, 1, 1},    {-160, 80, 13, 12, 8}, {160, 0, 13, 12, 8},
        {160, 161, 13, 12, 8}, {160, -1, 13, 12, 8}, {160, 80, 13, 0, 1},  {160, 80, 12, 12, 8},
        {160, 80, 13, 12, 0},  {160, 80, 13, 12, 13}, {160, 80, 13, -12, 8}, {160, 80, -13, 12, 8},
    };
    const Samples samples = SpeechLike(2000, 6);
    FrameAnalyzer reference, analyzer;
    ASSERT_EQ(reference.Configure(200, 70, 9, 8, 6), 0);
    ASSERT_EQ(analyzer.Configure(200, 70, 9, 8, 6), 0);
    SequentialFrames(reference, samples, 2);
    SequentialFrames(analyzer, samples, 2);
    for (const Parameters &p : rejected) {
        EXPECT_EQ(analyzer.Configure(p.windowLength, p.frameShift, p.numLags, p.lpcOrder,
                                     p.numCep),
                  -1)
            << p.windowLength << " " << p.frameShift << " " << p.numLags << " " << p.lpcOrder
            << " " << p.numCep;
    }
    EXPECT_EQ(analyzer.WindowLength(), 200);
    EXPECT_EQ(analyzer.FrameShift(), 70);
    EXPECT_EQ(analyzer.NumLags(), 9);
    EXPECT_EQ(analyzer.LpcOrder(), 8);
    EXPECT_EQ(analyzer.NumCep(), 6);
    EXPECT_EQ(analyzer.PrevSample(), reference.PrevSample());
    EXPECT_TRUE(SameFloats(SequentialFrames(reference, samples, 20),
                           SequentialFrames(analyzer, samples, 20), 7));

    // The edges of the limits are accepted.
    EXPECT_EQ(analyzer.Configure(2, 2, 2, 1, 1), 0);
    EXPECT_EQ(analyzer.Configure(160, 1, 40, 12, 12), 0);
}

TEST(FrameAnalyzer, NothingIsAnalysedAfterTheArraysAreReleased) {
    FrameAnalyzer analyzer;
    const Samples frame = SpeechLike(160, 7);
    float features[8] = {};
    EXPECT_EQ(analyzer.FreeArrays(), 0);
    EXPECT_EQ(analyzer.AnalyzeFrame(frame.data(), features), -1);
    for (float c : features) EXPECT_EQ(c, 0.0f);
    EXPECT_EQ(analyzer.Configure(160, 80, 13, 12, 8), 0);
    EXPECT_EQ(analyzer.AnalyzeFrame(frame.data(), features), 0);
}

// Speech with the hard cases mixed in: full-scale samples, silent runs (which
// give -inf energies and signed zeros), constant runs and lone impulses.
Samples HardSignal(std::size_t count, unsigned seed) {
    Samples samples = SpeechLike(count, seed);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> position(0, static_cast<int>(count) - 1);
    std::uniform_int_distribution<int> length(1, 400);
    std::uniform_int_distribution<int> any(-32768, 32767);
    for (int run = 0; run < static_cast<int>(count / 300); ++run) {
        const int start = position(random), end = std::min<int>(start + length(random),
                                                                 static_cast<int>(count));
        const int kind = run % 5;
        for (int n = start; n < end; ++n) {
            switch (kind) {
                case 0: samples[n] = 0; break;
                case 1: samples[n] = (n & 1) ? 32767 : -32768; break;
                case 2: samples[n] = static_cast<std::int16_t>(any(random)); break;
                case 3: samples[n] = -32768; break;
                default: samples[n] = (n == start) ? static_cast<std::int16_t>(any(random)) : 0;
            }
        }
    }
    return samples;
}

struct Settings {
    int windowLength, frameShift, numLags, lpcOrder, numCep;
};

std::string Describe(const Settings &s) {
    return std::to_string(s.windowLength) + "/" + std::to_string(s.frameShift) + "/" +
           std::to_string(s.numLags) + "/" + std::to_string(s.lpcOrder) + "/" +
           std::to_string(s.numCep);
}

std::vector<FrameAnalyzer::FramesPath> AvailablePaths() {
    std::vector<FrameAnalyzer::FramesPath> paths{FrameAnalyzer::FramesPath::kSequential};
    if (FrameAnalyzer::WidestFramesPath() >= FrameAnalyzer::FramesPath::kLanes4)
        paths.push_back(FrameAnalyzer::FramesPath::kLanes4);
    if (FrameAnalyzer::WidestFramesPath() >= FrameAnalyzer::FramesPath::kLanes8)
        paths.push_back(FrameAnalyzer::FramesPath::kLanes8);
    return paths;
}

TEST(FrameAnalyzer, FramesAtOnceEqualFrameAfterFrameOnEveryPath) {
    const Settings settings[] = {
        {160, 80, 13, 12, 8},   // the client's
        {256, 100, 17, 16, 12}, // longer frame, window not a multiple of the lanes
        {161, 3, 20, 7, 7},     // odd window, heavy overlap, lags beyond the order
        {5, 5, 9, 8, 8},        // lags beyond the window give zeros
        {2, 1, 2, 1, 1},        // the smallest frame
    };
    const int counts[] = {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 100, 257};
    for (const Settings &s : settings) {
        const Samples samples = HardSignal(
            static_cast<std::size_t>(257 * s.frameShift + s.windowLength), 11u + s.frameShift);
        for (FrameAnalyzer::FramesPath path : AvailablePaths()) {
            for (int count : counts) {
                SCOPED_TRACE(Describe(s) + " path " + std::to_string(static_cast<int>(path)) +
                             " frames " + std::to_string(count));
                FrameAnalyzer sequential, batched;
                ASSERT_EQ(sequential.Configure(s.windowLength, s.frameShift, s.numLags,
                                               s.lpcOrder, s.numCep),
                          0);
                ASSERT_EQ(batched.Configure(s.windowLength, s.frameShift, s.numLags, s.lpcOrder,
                                            s.numCep),
                          0);
                ASSERT_EQ(batched.SetFramesPath(path), path);
                // Both start from the same carried sample and energy.
                std::vector<float> warmUp(static_cast<std::size_t>(s.numCep));
                sequential.SetPrevSample(-31000.0f);
                batched.SetPrevSample(-31000.0f);
                sequential.AnalyzeFrame(samples.data() + 1, warmUp.data());
                batched.AnalyzeFrame(samples.data() + 1, warmUp.data());

                ASSERT_TRUE(SameFloats(SequentialFrames(sequential, samples, count),
                                       FramesAtOnce(batched, samples, count), s.numCep + 1));
                EXPECT_EQ(Bits(batched.PrevSample()), Bits(sequential.PrevSample()));
                EXPECT_TRUE(SameFloat(batched.LogEnergy(), sequential.LogEnergy()));
            }
        }
    }
}

TEST(FrameAnalyzer, HardSignalReachesTheSpecialValues) {
    // Guards the test above: its input must reach -inf energies, signed zeros
    // and full-scale samples, or it would check nothing special.
    FrameAnalyzer analyzer;
    const Samples samples = HardSignal(257 * 80 + 160, 91);
    const std::vector<float> frames = SequentialFrames(analyzer, samples, 257);
    int minusInfinity = 0, negativeZero = 0;
    for (float value : frames) {
        minusInfinity += std::isinf(value) && value < 0;
        negativeZero += Bits(value) == Bits(-0.0f);
    }
    EXPECT_GT(minusInfinity, 0);
    EXPECT_GT(negativeZero, 0);
}

TEST(FrameAnalyzer, LanePathsAgreeWithTheSequentialPathOnLongInput) {
    const Samples samples = HardSignal(20000 * 80 + 160, 23);
    FrameAnalyzer sequential;
    ASSERT_EQ(sequential.SetFramesPath(FrameAnalyzer::FramesPath::kSequential),
              FrameAnalyzer::FramesPath::kSequential);
    sequential.SetPrevSample(77.0f);
    const std::vector<float> expected = FramesAtOnce(sequential, samples, 20000);
    for (FrameAnalyzer::FramesPath path : AvailablePaths()) {
        FrameAnalyzer lanes;
        lanes.SetFramesPath(path);
        lanes.SetPrevSample(77.0f);
        // In two calls, the second carrying on from the first.
        std::vector<float> actual(expected.size());
        lanes.AnalyzeFrames(samples.data(), 12345, actual.data());
        lanes.AnalyzeFrames(samples.data() + 12345 * 80, 20000 - 12345, actual.data() + 12345 * 9);
        EXPECT_TRUE(SameFloats(expected, actual, 9)) << static_cast<int>(path);
        EXPECT_EQ(Bits(lanes.PrevSample()), Bits(sequential.PrevSample()));
        EXPECT_TRUE(SameFloat(lanes.LogEnergy(), sequential.LogEnergy()));
    }
}

TEST(FrameAnalyzer, AnalysingAllocatesNothing) {
    const Samples samples = SpeechLike(37 * 80 + 160, 31);
    FrameAnalyzer analyzer;
    std::vector<float> out(37 * 9);
    for (FrameAnalyzer::FramesPath path : AvailablePaths()) {
        analyzer.SetFramesPath(path);
        const long before = g_allocations;
        analyzer.AnalyzeFrame(samples.data(), out.data());
        analyzer.AnalyzeFrames(samples.data(), 37, out.data());
        const long allocations = g_allocations - before;
        EXPECT_EQ(allocations, 0) << "path " << static_cast<int>(path);
    }
}

TEST(FrameAnalyzer, ThePathFallsBackToWhatTheProcessorOffers) {
    FrameAnalyzer analyzer;
    EXPECT_EQ(analyzer.GetFramesPath(), FrameAnalyzer::WidestFramesPath());
    const FrameAnalyzer::FramesPath got =
        analyzer.SetFramesPath(FrameAnalyzer::FramesPath::kLanes8);
    EXPECT_LE(got, FrameAnalyzer::WidestFramesPath());
    EXPECT_EQ(analyzer.SetFramesPath(FrameAnalyzer::FramesPath::kSequential),
              FrameAnalyzer::FramesPath::kSequential);
}

}  // namespace
}  // namespace vantrel
