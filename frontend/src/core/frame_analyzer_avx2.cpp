// Eight frames at a time in the lanes of AVX2. Compiled with -mavx2 and
// without -mfma: products and sums stay separate roundings.
#include <immintrin.h>

#include "core/frame_analyzer_kernel.h"

namespace vantrel::lanes {
namespace {

struct Avx2 {
    static constexpr int kWidth = 8;
    using V = __m256;
    static V Zero() { return _mm256_setzero_ps(); }
    static V Set1(float value) { return _mm256_set1_ps(value); }
    static V Load(const float *from) { return _mm256_loadu_ps(from); }
    static void Store(float *to, V value) { _mm256_storeu_ps(to, value); }
    static V Add(V x, V y) { return _mm256_add_ps(x, y); }
    static V Sub(V x, V y) { return _mm256_sub_ps(x, y); }
    static V Mul(V x, V y) { return _mm256_mul_ps(x, y); }
    static V Div(V x, V y) { return _mm256_div_ps(x, y); }
    // Flips the sign bit, as the scalar minus does (also of 0 and NaN).
    static V Neg(V x) { return _mm256_xor_ps(x, _mm256_set1_ps(-0.0f)); }

    // Samples n .. n + 7 of eight frames, to float, transposed: lane l of to[m]
    // is sample n + m of frame l.
    static void LoadTransposed(const std::int16_t *const rows[8], int n, V *to) {
        __m128i r[8];
        for (int l = 0; l < 8; ++l)
            r[l] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[l] + n));
        const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpackhi_epi16(r[0], r[1]);
        const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]), t3 = _mm_unpackhi_epi16(r[2], r[3]);
        const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]), t5 = _mm_unpackhi_epi16(r[4], r[5]);
        const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]), t7 = _mm_unpackhi_epi16(r[6], r[7]);
        const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
        const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
        const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
        const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
        const __m128i columns[8] = {
            _mm_unpacklo_epi64(u0, u4), _mm_unpackhi_epi64(u0, u4), _mm_unpacklo_epi64(u1, u5),
            _mm_unpackhi_epi64(u1, u5), _mm_unpacklo_epi64(u2, u6), _mm_unpackhi_epi64(u2, u6),
            _mm_unpacklo_epi64(u3, u7), _mm_unpackhi_epi64(u3, u7)};
        for (int m = 0; m < 8; ++m)
            to[m] = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(columns[m]));
    }
};

}  // namespace

void AnalyzeLanes8(const Job &job) { Analyze<Avx2>(job); }

}  // namespace vantrel::lanes
