// FrameAnalyzer: one frame of 16-bit speech at 8000 Hz to liftered LPC
// cepstra and a log10 energy.
//
// (Interface fixed here; the implementation and the full class comment with
// the mathematics live in frame_analyzer.cpp and are written with it.)
#pragma once

#include <cstdint>
#include <vector>

namespace vantrel {

class FrameAnalyzer {
public:
    // Built-in parameters: Configure(160, 80, 13, 12, 8).
    FrameAnalyzer();
    ~FrameAnalyzer();
    FrameAnalyzer(const FrameAnalyzer &) = delete;
    FrameAnalyzer &operator=(const FrameAnalyzer &) = delete;

    // Sizes every array, fills the window and lifter weights and resets
    // PrevSample to 0. Returns 0; -1 when a parameter is outside its limits
    // (WindowLength >= 2, 1 <= FrameShift <= WindowLength, LpcOrder >= 1,
    // NumLags >= LpcOrder + 1, 1 <= NumCep <= LpcOrder) or storage cannot be
    // had, and then the previous configuration stays in force.
    int Configure(int windowLength, int frameShift, int numLags, int lpcOrder, int numCep);

    // Reads WindowLength samples, writes NumCep coefficients to features,
    // sets LogEnergy and PrevSample. Allocates nothing. Returns 0.
    int AnalyzeFrame(const std::int16_t *samples, float *features);

    // Analyses frameCount frames that start at samples[0], samples[FrameShift],
    // samples[2 * FrameShift], ... and writes NumCep + 1 floats per frame
    // (the coefficients, then the log energy) back to back into out. The first
    // frame is pre-emphasised against PrevSample, every later one against the
    // sample before it, so the result, PrevSample and LogEnergy are bit for bit
    // those of calling AnalyzeFrame frame after frame. Allocates nothing.
    void AnalyzeFrames(const std::int16_t *samples, int frameCount, float *out);

    // Releases the arrays. Returns 0.
    int FreeArrays();

    int NumLags() const { return numLags_; }
    int LpcOrder() const { return lpcOrder_; }
    int NumCep() const { return numCep_; }
    int FrameShift() const { return frameShift_; }
    int WindowLength() const { return windowLength_; }
    float PrevSample() const { return prevSample_; }
    void SetPrevSample(float value) { prevSample_ = value; }
    float LogEnergy() const { return logEnergy_; }

private:
    int numLags_ = 0;
    int lpcOrder_ = 0;
    int numCep_ = 0;
    float prevSample_ = 0.0f;
    int frameShift_ = 0;
    int windowLength_ = 0;
    float logEnergy_ = 0.0f;
    // The arrays and the recursion's scalars are the implementation's own.
};

}  // namespace vantrel
