// Frames per second of the analysis on a real recording: the Czech test
// sentence repeated to a minute of speech (6000 frames at the client's
// settings). The baseline is AnalyzeFrame called frame after frame, as the
// capture tick does; AnalyzeFrames runs on each path the processor offers,
// and the exported Test runs the library's offline frame loop.
#include "core/frame_analyzer.h"
#include "vantrel.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using vantrel::FrameAnalyzer;

// The samples of a 16-bit mono PCM WAV file; exits when it is not one.
std::vector<std::int16_t> ReadWav(const char *path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file),
                                           std::istreambuf_iterator<char>()};
    auto little32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(bytes[at]) | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
               static_cast<std::uint32_t>(bytes[at + 3]) << 24;
    };
    if (bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0) {
        for (std::size_t at = 12; at + 8 <= bytes.size();) {
            const std::uint32_t size = little32(at + 4);
            if (size > bytes.size() - at - 8) break;
            if (std::memcmp(&bytes[at], "data", 4) == 0) {
                std::vector<std::int16_t> samples(size / 2);
                for (std::size_t n = 0; n < samples.size(); ++n)
                    samples[n] = static_cast<std::int16_t>(bytes[at + 8 + 2 * n] |
                                                           bytes[at + 9 + 2 * n] << 8);
                return samples;
            }
            at += 8 + size + (size & 1);
        }
    }
    std::fprintf(stderr, "%s: not a 16-bit PCM WAV file\n", path);
    std::exit(1);
}

// The recording repeated to 60 s plus one window, so that 6000 frames fit.
const std::vector<std::int16_t> &Minute() {
    static const std::vector<std::int16_t> minute = [] {
        const std::vector<std::int16_t> sentence = ReadWav(VANTREL_BENCHMARK_RECORDING);
        std::vector<std::int16_t> samples;
        while (samples.size() < 60 * 8000 + 160)
            samples.insert(samples.end(), sentence.begin(), sentence.end());
        return samples;
    }();
    return minute;
}

constexpr int kFrames = 6000;

void FrameAfterFrame(benchmark::State &state) {
    const std::vector<std::int16_t> &samples = Minute();
    FrameAnalyzer analyzer;
    std::vector<float> out(static_cast<std::size_t>(kFrames) * 9);
    for (auto _ : state) {
        for (int f = 0; f < kFrames; ++f) {
            analyzer.AnalyzeFrame(samples.data() + f * 80, out.data() + f * 9);
            out[f * 9 + 8] = analyzer.LogEnergy();
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] =
        benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(FrameAfterFrame)->Unit(benchmark::kMillisecond);

void FramesAtOnce(benchmark::State &state) {
    const auto path = static_cast<FrameAnalyzer::FramesPath>(state.range(0));
    if (path > FrameAnalyzer::WidestFramesPath()) {
        state.SkipWithError("the processor lacks this path");
        return;
    }
    const std::vector<std::int16_t> &samples = Minute();
    FrameAnalyzer analyzer;
    analyzer.SetFramesPath(path);
    std::vector<float> out(static_cast<std::size_t>(kFrames) * 9);
    for (auto _ : state) {
        analyzer.AnalyzeFrames(samples.data(), kFrames, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] =
        benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(FramesAtOnce)
    ->ArgName("path")  // 0 frame after frame, 1 SSE2 lanes, 2 AVX2 lanes
    ->Arg(static_cast<int>(FrameAnalyzer::FramesPath::kSequential))
    ->Arg(static_cast<int>(FrameAnalyzer::FramesPath::kLanes4))
    ->Arg(static_cast<int>(FrameAnalyzer::FramesPath::kLanes8))
    ->Unit(benchmark::kMillisecond);

// The exported offline analysis: the frames go to the library's parameter
// buffer, sized here for the whole minute (a tick period of 6100 ms).
void ExportedTest(benchmark::State &state) {
    const std::vector<std::int16_t> &samples = Minute();
    if (InitClient(nullptr, 6100, 8, 160, 80, 1000) != 0) {
        state.SkipWithError("InitClient failed");
        return;
    }
    const int count = kFrames * 80 + 160;
    for (auto _ : state) {
        Test(samples.data(), count);
        benchmark::ClobberMemory();
    }
    if (GetBufLen() != kFrames * 9) state.SkipWithError("Test analysed another number of frames");
    state.counters["frames/s"] =
        benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate);
    DeallocEnv();
}
BENCHMARK(ExportedTest)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
