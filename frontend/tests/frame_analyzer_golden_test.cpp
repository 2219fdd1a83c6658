// The analysis of a real recording against frames computed apart from this
// code (data/make_expected.py, float32 in plain sequential order; see
// data/README.md).
#include "core/frame_analyzer.h"

#include "float_bits.h"
#include "test_recordings.h"

#include <gtest/gtest.h>

#include <bit>
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

// The floats of a file of little-endian float32 values.
std::vector<float> ReadFloats(const std::string &name) {
    const std::vector<std::uint8_t> bytes = ReadFile(name);
    std::vector<float> values(bytes.size() / 4);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = std::bit_cast<float>(Little32(&bytes[4 * i]));
    return values;
}

struct Golden {
    const char *file;
    int numCep, windowLength, frameShift;
};

class FrameAnalyzerGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(FrameAnalyzerGolden, CzechSentenceMatchesTheIndependentFloat32Computation) {
    const Golden golden = GetParam();
    const std::vector<std::int16_t> samples = testing::ReadWav(std::string(VANTREL_TEST_DATA_DIR) + "/speech_cs_8k.wav");
    ASSERT_EQ(samples.size(), 20255u) << "speech_cs_8k.wav missing or changed";
    const std::vector<float> expected = ReadFloats(golden.file);
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
    EXPECT_TRUE(testing::SameFloats(expected, actual, stride)) << "frame after frame";

    for (auto path : {FrameAnalyzer::FramesPath::kSequential, FrameAnalyzer::FramesPath::kLanes4,
                      FrameAnalyzer::FramesPath::kLanes8}) {
        if (path > FrameAnalyzer::WidestFramesPath()) continue;
        FrameAnalyzer batched;
        batched.Configure(golden.windowLength, golden.frameShift, golden.numCep + 5,
                          golden.numCep + 4, golden.numCep);
        batched.SetFramesPath(path);
        std::vector<float> atOnce(expected.size());
        batched.AnalyzeFrames(samples.data(), frames, atOnce.data());
        EXPECT_TRUE(testing::SameFloats(expected, atOnce, stride)) << "path " << static_cast<int>(path);
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
