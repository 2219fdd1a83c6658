#include "frame_features.h"

#include <cmath>

namespace tessary {
namespace {

// Stand-in for the library's frame analyzer until it lands: the same
// pre-emphasis, Hamming window, autocorrelation, Levinson-Durbin recursion,
// LPC-to-cepstrum conversion and lifter.
class Analyzer {
public:
    Analyzer() {
        for (int n = 0; n < kWindowLength; ++n)
            window_[n] = static_cast<float>(0.54 - 0.46 * std::cos(n * 6.283185307178 / (kWindowLength - 1)));
        for (int i = 0; i < kNumCep; ++i)
            lifter_[i] = static_cast<float>(1.0 + 0.5 * kNumCep * std::sin((i + 1) * 3.141592653589 / kNumCep));
    }

    void Frame(const std::int16_t *x, float *out) {
        constexpr int p = kNumCep + 4;
        constexpr int lags = p + 1;
        const float g = static_cast<float>(1.0 / 1.95);
        float work[kWindowLength];
        work[0] = (x[0] - 0.95f * prev_) * g;
        for (int n = 1; n < kWindowLength; ++n) work[n] = (x[n] - 0.95f * x[n - 1]) * g;
        prev_ = x[kFrameShift - 1];
        for (int n = 0; n < kWindowLength; ++n) work[n] *= window_[n];
        float r[lags];
        for (int j = 0; j < lags; ++j) {
            float sum = 0;
            for (int i = 0; i + j < kWindowLength; ++i) sum += work[i + j] * work[i];
            r[j] = sum;
        }
        const float logEnergy = std::log10(r[0]);
        float e = r[0] >= 1e-30 ? r[0] : 1e-30f;
        float a[p + 1] = {};
        float b[p + 1] = {};
        float k = -r[1] / e;
        a[1] = k;
        e = (1 - k * k) * e;
        for (int i = 2; i <= p; ++i) {
            for (int j = 1; j < i; ++j) b[j] = a[j];
            k = -r[i];
            for (int j = 1; j < i; ++j) k -= r[i - j] * b[j];
            k /= e;
            for (int j = 1; j < i; ++j) a[j] += k * b[i - j];
            a[i] = k;
            e = (1 - k * k) * e;
        }
        float c[kNumCep];
        c[0] = -a[1];
        for (int n = 2; n <= kNumCep; ++n) {
            float sum = 0;
            for (int j = 1; j < n; ++j) sum -= c[n - j - 1] * a[j] * (n - j);
            c[n - 1] = sum / n - a[n];
        }
        for (int i = 0; i < kNumCep; ++i) out[i] = lifter_[i] * c[i];
        out[kNumCep] = logEnergy;
    }

private:
    float window_[kWindowLength];
    float lifter_[kNumCep];
    float prev_ = 0;
};

}  // namespace

std::vector<float> AnalyzeRecording(std::span<const std::int16_t> samples) {
    std::vector<float> out;
    const auto count = static_cast<std::ptrdiff_t>(samples.size());
    if (count <= kWindowLength) return out;
    Analyzer analyzer;
    for (std::ptrdiff_t p = 0; p < count - kWindowLength; p += kFrameShift) {
        out.resize(out.size() + kFrameFloats);
        analyzer.Frame(samples.data() + p, out.data() + out.size() - kFrameFloats);
    }
    return out;
}

}  // namespace tessary
