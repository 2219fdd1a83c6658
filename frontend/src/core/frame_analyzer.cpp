#include "core/frame_analyzer.h"

#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>

#if defined(VANTREL_X86_LANES)
#include "core/frame_analyzer_lanes.h"
#endif

namespace vantrel {

namespace {

#if defined(VANTREL_X86_LANES)
// Lane scratch: the floats of the widest kernel and room to align to 32 bytes.
constexpr long kScratchAlignFloats = 8;

float *AlignedScratch(std::vector<float> &storage) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
    return storage.data() + ((32 - address % 32) % 32) / sizeof(float);
}
#endif

bool WithinLimits(int windowLength, int frameShift, int numLags, int lpcOrder, int numCep) {
    return windowLength >= 2 && frameShift >= 1 && frameShift <= windowLength && lpcOrder >= 1 &&
           numLags >= lpcOrder + 1 && numCep >= 1 && numCep <= lpcOrder;
}

}  // namespace

FrameAnalyzer::FrameAnalyzer() { Configure(160, 80, 13, 12, 8); }

FrameAnalyzer::~FrameAnalyzer() { FreeArrays(); }

int FrameAnalyzer::Configure(int windowLength, int frameShift, int numLags, int lpcOrder,
                             int numCep) {
    if (!WithinLimits(windowLength, frameShift, numLags, lpcOrder, numCep)) return -1;

    // The new set is built apart, so that a failure leaves the old one whole.
    std::vector<float> autocorr, lpcPrev, lpc, cepstrum, lifter, window, work, scratch;
    try {
#if defined(VANTREL_X86_LANES)
        scratch.assign(static_cast<std::size_t>(
                           lanes::ScratchFloats(windowLength, numLags, lpcOrder, numCep) +
                           kScratchAlignFloats),
                       0.0f);
#endif
        autocorr.assign(static_cast<std::size_t>(numLags), 0.0f);
        lpcPrev.assign(static_cast<std::size_t>(lpcOrder) + 1, 0.0f);
        lpc.assign(static_cast<std::size_t>(lpcOrder) + 1, 0.0f);
        cepstrum.assign(static_cast<std::size_t>(numCep), 0.0f);
        lifter.assign(static_cast<std::size_t>(numCep), 0.0f);
        window.assign(static_cast<std::size_t>(windowLength), 0.0f);
        work.assign(static_cast<std::size_t>(windowLength), 0.0f);
    } catch (const std::bad_alloc &) {
        return -1;
    } catch (const std::length_error &) {
        return -1;
    }

    // Hamming window; 6.283185307178 stands for 2 pi as written.
    for (int n = 0; n < windowLength; ++n) {
        const double angle = static_cast<double>(n) * 6.283185307178 /
                             static_cast<double>(windowLength - 1);
        window[n] = static_cast<float>(0.54 - 0.46 * std::cos(angle));
    }
    // Sine lifter as long as the cepstrum; 3.141592653589 stands for pi.
    for (int i = 0; i < numCep; ++i) {
        const double angle = static_cast<double>(i + 1) * 3.141592653589 /
                             static_cast<double>(numCep);
        lifter[i] = static_cast<float>(1.0 + 0.5 * static_cast<double>(numCep) * std::sin(angle));
    }

    FreeArrays();
    Autocorr = std::move(autocorr);
    LpcPrev = std::move(lpcPrev);
    Lpc = std::move(lpc);
    Cepstrum = std::move(cepstrum);
    LifterWeights = std::move(lifter);
    HammingWindow = std::move(window);
    WorkFrame = std::move(work);
    laneScratch_ = std::move(scratch);
    windowLength_ = windowLength;
    frameShift_ = frameShift;
    numLags_ = numLags;
    lpcOrder_ = lpcOrder;
    numCep_ = numCep;
    PreEmphasis = 0.95f;
    PreEmphasisGain = static_cast<float>(1.0 / 1.95);
    prevSample_ = 0.0f;
    return 0;
}

int FrameAnalyzer::FreeArrays() {
    Autocorr = {};
    LpcPrev = {};
    Lpc = {};
    Cepstrum = {};
    LifterWeights = {};
    HammingWindow = {};
    WorkFrame = {};
    laneScratch_ = {};
    return 0;
}

int FrameAnalyzer::AnalyzeFrame(const std::int16_t *samples, float *features) {
    if (Autocorr.empty()) return -1;
    const int N = windowLength_;
    const int p = lpcOrder_;
    const int q = numCep_;
    const float e = PreEmphasis;
    const float g = PreEmphasisGain;
    float *w = WorkFrame.data();
    float *R = Autocorr.data();
    float *a = Lpc.data();
    float *b = LpcPrev.data();
    float *c = Cepstrum.data();

    // Pre-emphasis.
    float previous = prevSample_;
    for (int n = 0; n < N; ++n) {
        const float x = static_cast<float>(samples[n]);
        w[n] = (x - e * previous) * g;
        previous = x;
    }
    prevSample_ = static_cast<float>(samples[frameShift_ - 1]);

    // Window.
    for (int n = 0; n < N; ++n) w[n] = HammingWindow[n] * w[n];

    // Autocorrelation, each lag summed in increasing i.
    for (int j = 0; j < numLags_; ++j) {
        float sum = 0.0f;
        for (int i = 0; i + j < N; ++i) sum = sum + w[i + j] * w[i];
        R[j] = sum;
    }

    // Log energy, then the floor of the initial prediction error.
    logEnergy_ = static_cast<float>(std::log10(static_cast<double>(R[0])));
    float E = R[0];
    if (!(static_cast<double>(R[0]) >= 1e-30)) E = static_cast<float>(1e-30);

    // Levinson-Durbin.
    float k = -R[1] / E;
    a[1] = k;
    E = (1.0f - k * k) * E;
    for (int i = 2; i <= p; ++i) {
        for (int j = 1; j < i; ++j) b[j] = a[j];
        k = -R[i];
        for (int j = 1; j < i; ++j) k = k - R[i - j] * b[j];
        k = k / E;
        for (int j = 1; j < i; ++j) a[j] = a[j] + k * b[i - j];
        a[i] = k;
        E = (1.0f - k * k) * E;
    }
    Reflection = k;
    PredError = E;

    // LPC to cepstrum.
    c[0] = -a[1];
    float sum = 0.0f;
    for (int n = 2; n <= q; ++n) {
        sum = 0.0f;
        for (int j = 1; j < n; ++j) sum = sum - (c[n - j - 1] * a[j]) * static_cast<float>(n - j);
        c[n - 1] = sum / static_cast<float>(n) - a[n];
    }
    CepSum = sum;

    // Liftering.
    for (int i = 0; i < q; ++i) {
        c[i] = LifterWeights[i] * c[i];
        features[i] = c[i];
    }
    return 0;
}

void FrameAnalyzer::AnalyzeFrames(const std::int16_t *samples, int frameCount, float *out) {
    if (Autocorr.empty() || frameCount <= 0) return;
    const int stride = numCep_ + 1;
    int done = 0;

#if defined(VANTREL_X86_LANES)
    // Whole batches side by side in the lanes.
    const int width = framesPath_ == FramesPath::kLanes8   ? 8
                      : framesPath_ == FramesPath::kLanes4 ? 4
                                                           : 0;
    if (width > 0 && frameCount >= width) {
        const int batches = frameCount / width;
        const lanes::Job job{samples,        batches,       prevSample_,
                             out,            windowLength_, frameShift_,
                             numLags_,       lpcOrder_,     numCep_,
                             PreEmphasis,    PreEmphasisGain, HammingWindow.data(),
                             LifterWeights.data(), AlignedScratch(laneScratch_)};
        if (width == 8)
            lanes::AnalyzeLanes8(job);
        else
            lanes::AnalyzeLanes4(job);
        done = batches * width;
        prevSample_ = static_cast<float>(samples[static_cast<std::ptrdiff_t>(done) * frameShift_ - 1]);
        logEnergy_ = out[static_cast<std::ptrdiff_t>(done - 1) * stride + numCep_];
    }
#endif

    // The rest frame after frame.
    for (int f = done; f < frameCount; ++f) {
        float *frame = out + static_cast<std::ptrdiff_t>(f) * stride;
        AnalyzeFrame(samples + static_cast<std::ptrdiff_t>(f) * frameShift_, frame);
        frame[numCep_] = logEnergy_;
    }
}

FrameAnalyzer::FramesPath FrameAnalyzer::WidestFramesPath() {
#if defined(VANTREL_X86_LANES)
    static const FramesPath widest = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? FramesPath::kLanes8 : FramesPath::kLanes4;
    }();
    return widest;
#else
    return FramesPath::kSequential;
#endif
}

FrameAnalyzer::FramesPath FrameAnalyzer::SetFramesPath(FramesPath path) {
    framesPath_ = path > WidestFramesPath() ? WidestFramesPath() : path;
    return framesPath_;
}

}  // namespace vantrel
