// The lane kernels of FrameAnalyzer::AnalyzeFrames: several frames side by
// side, one frame per vector lane. Each kernel lives in its own source file,
// compiled for its instruction set; they are called only when the processor
// offers that set.
#pragma once

#include <cstdint>

namespace vantrel::lanes {

// One run of whole batches. Frame f starts at samples + f * frameShift; the
// sample before frame 0 is prevSample. Writes numCep + 1 floats per frame
// to out. scratch holds at least ScratchFloats(...) floats and is aligned to
// 32 bytes.
struct Job {
    const std::int16_t *samples;
    int batches;  // frames = batches * lane count
    float prevSample;
    float *out;
    int windowLength, frameShift, numLags, lpcOrder, numCep;
    float preEmphasis, preEmphasisGain;
    const float *window;
    const float *lifter;
    float *scratch;
};

inline constexpr int kMaxLanes = 8;

// Scratch floats for the widest kernel, one row of kMaxLanes per value.
inline long ScratchFloats(int windowLength, int numLags, int lpcOrder, int numCep) {
    const long rows = static_cast<long>(windowLength) + 2L * numLags + 2L * (lpcOrder + 1L) +
                      (numCep + 1L) + 2L * kMaxLanes + 2;
    return rows * kMaxLanes;
}

// Four frames in the lanes of SSE2 (every x86-64 processor).
void AnalyzeLanes4(const Job &job);
// Eight frames in the lanes of AVX2.
void AnalyzeLanes8(const Job &job);

}  // namespace vantrel::lanes
