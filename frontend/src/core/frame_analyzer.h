// FrameAnalyzer: one frame of 16-bit speech at 8000 Hz to liftered LPC
// cepstra and a log10 energy.
//
// With N = WindowLength, s = FrameShift, p = LpcOrder, q = NumCep, x[n] the
// frame's samples converted to float, P the carried PrevSample, h[n] the
// Hamming weights, g = PreEmphasisGain (the float nearest 1/1.95) and
// e = PreEmphasis (0.95f), a frame is analysed as follows. Every "=" below
// rounds to a 32-bit float, every product and quotient is formed in float,
// and the parentheses give the exact order of evaluation; nothing is fused.
//
//   Pre-emphasis   w[0] = (x[0] - e * P) * g
//                  w[n] = (x[n] - e * x[n-1]) * g            n = 1 .. N-1
//                  P    = x[s - 1]           (the sample before the next frame)
//   Window         w[n] = h[n] * w[n]
//   Autocorrelation R[j] = 0; then R[j] = R[j] + w[i+j] * w[i] for
//                  i = 0, 1, .., N-1-j in this order (j = 0 .. NumLags-1;
//                  a lag of N or more stays 0)
//   Log energy     LogEnergy = (float) log10((double) R[0]); no floor, so a
//                  silent frame gives -inf
//   Error floor    E = R[0], or E = 1e-30f unless (double) R[0] >= 1e-30
//                  (also when R[0] is NaN); applied here only
//   Levinson-Durbin, for the inverse filter A(z) = 1 + a1 z^-1 + .. + ap z^-p
//                  (sign convention: the prediction of x[n] is
//                  -(a1 x[n-1] + .. + ap x[n-p]); E is the error power):
//                  k = (-R[1]) / E;  a1 = k;  E = (1 - k * k) * E
//                  for i = 2 .. p:  b[j] = a[j] (j = 1 .. i-1)
//                                   k = -R[i]
//                                   k = k - R[i-j] * b[j]    j = 1 .. i-1
//                                   k = k / E
//                                   a[j] = a[j] + k * b[i-j] j = 1 .. i-1
//                                   a[i] = k
//                                   E = (1 - k * k) * E
//                  (k is Reflection, E PredError, b LpcPrev, a Lpc)
//   Cepstrum       c1 = -a1
//                  for n = 2 .. q:  CepSum = 0
//                                   CepSum = CepSum - (c[n-j] * a[j]) * (float)(n-j)
//                                                             j = 1 .. n-1
//                                   c[n] = (CepSum / (float) n) - a[n]
//                  so that c[n] = -a[n] - (1/n) sum_j (n-j) c[n-j] a[j];
//                  c[n] is held in Cepstrum[n-1]
//   Liftering      Cepstrum[i] = LifterWeights[i] * Cepstrum[i], and the
//                  features are Cepstrum[0 .. q-1] (c1 .. cq)
//
// The weights are computed in double and stored as float (6.283185307178
// and 3.141592653589 stand for 2 pi and pi, used as written):
//   h[n] = 0.54 - 0.46 * cos((n * 6.283185307178) / (N - 1))
//   LifterWeights[i] = 1 + (0.5 * q) * sin(((i + 1) * 3.141592653589) / q)
//
// Arithmetic is IEEE-754 with every exception masked: a prediction error that
// reaches 0 gives infinities or NaNs, which flow into the features unchanged.
// The result is the same bit for bit on every build and on every path that
// AnalyzeFrames may take (NaN payloads aside).
//
// AnalyzeFrames analyses several frames side by side, one frame per vector
// lane (eight with AVX2, four with SSE2, chosen at run time); each lane
// performs exactly the sequence of float operations above, with every sum in
// its own order, so its output equals that of AnalyzeFrame called frame
// after frame. The frames left over from the last whole batch, and every
// frame on other processors, go through AnalyzeFrame.
//
// Storage is sized by Configure; AnalyzeFrame and AnalyzeFrames allocate
// nothing. Not thread-safe: one thread uses an instance at a time.
#pragma once

#include <cstdint>
#include <vector>

namespace vantrel {

class FrameAnalyzer {
public:
    // How AnalyzeFrames runs its frames.
    enum class FramesPath {
        kSequential,  // AnalyzeFrame frame after frame
        kLanes4,      // four frames at a time in SSE2 lanes
        kLanes8,      // eight frames at a time in AVX2 lanes
    };

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
    // sets LogEnergy and PrevSample. Allocates nothing. Returns 0; -1 (and
    // nothing touched) when the arrays have been released by FreeArrays.
    int AnalyzeFrame(const std::int16_t *samples, float *features);

    // Analyses frameCount frames that start at samples[0], samples[FrameShift],
    // samples[2 * FrameShift], ... and writes NumCep + 1 floats per frame
    // (the coefficients, then the log energy) back to back into out. The first
    // frame is pre-emphasised against PrevSample, every later one against the
    // sample before it, so the result, PrevSample and LogEnergy are bit for bit
    // those of calling AnalyzeFrame frame after frame. Allocates nothing.
    // Does nothing when the arrays have been released.
    void AnalyzeFrames(const std::int16_t *samples, int frameCount, float *out);

    // Releases the arrays. Returns 0.
    int FreeArrays();

    // The path AnalyzeFrames takes: by default the widest that the processor
    // offers. A request for a path the processor lacks falls back to the
    // next narrower one; returns the path now in force.
    FramesPath SetFramesPath(FramesPath path);
    FramesPath GetFramesPath() const { return framesPath_; }
    static FramesPath WidestFramesPath();

    int NumLags() const { return numLags_; }
    int LpcOrder() const { return lpcOrder_; }
    int NumCep() const { return numCep_; }
    int FrameShift() const { return frameShift_; }
    int WindowLength() const { return windowLength_; }
    float PrevSample() const { return prevSample_; }
    void SetPrevSample(float value) { prevSample_ = value; }
    float LogEnergy() const { return logEnergy_; }
    const std::vector<float> &GetHammingWindow() const { return HammingWindow; }
    const std::vector<float> &GetLifterWeights() const { return LifterWeights; }
    const std::vector<float> &GetWorkFrame() const { return WorkFrame; }

private:
    int numLags_ = 0;
    int lpcOrder_ = 0;
    int numCep_ = 0;
    float prevSample_ = 0.0f;
    int frameShift_ = 0;
    int windowLength_ = 0;
    float logEnergy_ = 0.0f;
    float PreEmphasis = 0.95f;
    float PreEmphasisGain = 0.0f;

    // The arrays; an empty Autocorr means that no set exists.
    std::vector<float> Autocorr;       // R[0 .. NumLags-1]
    std::vector<float> LpcPrev;        // b[1 .. p] of the step before; [0] unused
    std::vector<float> Lpc;            // a[1 .. p]; [0] unused
    std::vector<float> Cepstrum;       // c1 .. cq at [0 .. q-1]
    std::vector<float> LifterWeights;  // q weights
    std::vector<float> HammingWindow;  // N weights
    std::vector<float> WorkFrame;      // N samples: pre-emphasised, then windowed

    // Last values of the recursions.
    float Reflection = 0.0f;
    float PredError = 0.0f;
    float CepSum = 0.0f;

    // Scratch of AnalyzeFrames, one frame per lane, sized by Configure.
    std::vector<float> laneScratch_;
    FramesPath framesPath_ = WidestFramesPath();
};

}  // namespace vantrel
