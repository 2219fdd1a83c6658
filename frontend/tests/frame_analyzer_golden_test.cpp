// The analysis of a real recording against frames computed apart from this
// code (data/make_expected.py, float32 in plain sequential order; see
// data/README.md).
#include "core/frame_analyzer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vantrel {
namespace {

std::vector<std::uint8_t> ReadFile(const std::string &name) {
    std::ifstream file(std::string(VANTREL_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::uint32_t Little32(const std::uint8_t *bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The samples of a 16-bit mono PCM WAV file; empty when it is not one.
std::vector<std::int16_t> ReadWav(const std::string &name) {
    const std::vector<std::uint8_t> bytes = ReadFile(name);
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return {};
    bool pcm16Mono = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::uint32_t size = Little32(&bytes[at + 4]);
        const std::uint8_t *body = &bytes[at + 8];
        if (size > bytes.size() - at - 8) return {};
        if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && size >= 16) {
            pcm16Mono = body[0] == 1 && body[1] == 0 && body[2] == 1 && body[3] == 0 &&
                        body[14] == 16 && body[15] == 0;
        } else if (std::memcmp(&bytes[at], "data", 4) == 0 && pcm16Mono) {
            std::vector<std::int16_t> samples(size / 2);
            for (std::size_t n = 0; n < samples.size(); ++n)
                samples[n] = static_cast<std::int16_t>(body[2 * n] | body[2 * n + 1] << 8);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

std::vector<std::uint32_t> ReadFloatBits(const std::string &name) {
    const std::vector<std::uint8_t> bytes = ReadFile(name);
    std::vector<std::uint32_t> bits(bytes.size() / 4);
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = Little32(&bytes[4 * i]);
    return bits;
}

bool IsNanBits(std::uint32_t bits) {
    return (bits & 0x7F800000u) == 0x7F800000u && (bits & 0x7FFFFFu) != 0;
}

std::string Hex(std::uint32_t bits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(bits));
    return text;
}

::testing::AssertionResult SameBits(const std::vector<std::uint32_t> &expected,
                                    const std::vector<float> &actual, int stride) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure()
               << expected.size() << " floats expected, " << actual.size() << " computed";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &actual[i], 4);
        if (bits != expected[i] && !(IsNanBits(bits) && IsNanBits(expected[i])))
            return ::testing::AssertionFailure()
                   << "frame " << i / stride << " value " << i % stride << ": expected "
                   << Hex(expected[i]) << ", got " << Hex(bits) << " (" << actual[i] << ")";
    }
    return ::testing::AssertionSuccess();
}

struct Golden {
    const char *file;
    int numCep, windowLength, frameShift;
};

class FrameAnalyzerGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(FrameAnalyzerGolden, CzechSentenceMatchesTheIndependentFloat32Computation) {
    const Golden golden = GetParam();
    const std::vector<std::int16_t> samples = ReadWav("speech_cs_8k.wav");
    ASSERT_EQ(samples.size(), 20255u) << "speech_cs_8k.wav missing or changed";
    const std::vector<std::uint32_t> expected = ReadFloatBits(golden.file);
    const int stride = golden.numCep + 1;
    // The frames of an offline run: k * shift while below count - window.
    const int frames = static_cast<int>(
        (samples.size() - golden.windowLength + golden.frameShift - 1) / golden.frameShift);
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(frames) * stride) << golden.file;

    FrameAnalyzer analyzer;
    ASSERT_EQ(analyzer.Configure(golden.windowLength, golden.frameShift, golden.numCep + 5,
                                 golden.numCep + 4, golden.numCep),
              0);
    std::vector<float> actual(expected.size());
    for (int f = 0; f < frames; ++f) {
        float *frame = actual.data() + static_cast<std::size_t>(f) * stride;
        analyzer.AnalyzeFrame(samples.data() + static_cast<std::size_t>(f) * golden.frameShift,
                              frame);
        frame[golden.numCep] = analyzer.LogEnergy();
    }
    EXPECT_TRUE(SameBits(expected, actual, stride)) << "frame after frame";

    for (auto path : {FrameAnalyzer::FramesPath::kSequential, FrameAnalyzer::FramesPath::kLanes4,
                      FrameAnalyzer::FramesPath::kLanes8}) {
        if (path > FrameAnalyzer::WidestFramesPath()) continue;
        FrameAnalyzer batched;
        batched.Configure(golden.windowLength, golden.frameShift, golden.numCep + 5,
                          golden.numCep + 4, golden.numCep);
        batched.SetFramesPath(path);
        std::vector<float> atOnce(expected.size());
        batched.AnalyzeFrames(samples.data(), frames, atOnce.data());
        EXPECT_TRUE(SameBits(expected, atOnce, stride)) << "path " << static_cast<int>(path);
    }
}

INSTANTIATE_TEST_SUITE_P(Recordings, FrameAnalyzerGolden,
                         ::testing::Values(Golden{"speech_cs_8k_160_80_8.f32", 8, 160, 80},
                                           Golden{"speech_cs_8k_200_80_12.f32", 12, 200, 80}),
                         [](const ::testing::TestParamInfo<Golden> &info) {
                             return "Window" + std::to_string(info.param.windowLength) + "Cep" +
                                    std::to_string(info.param.numCep);
                         });

}  // namespace
}  // namespace vantrel
