// Four frames at a time in the lanes of SSE2, which every x86-64 processor
// has.
#include <emmintrin.h>

#include "core/frame_analyzer_kernel.h"

namespace vantrel::lanes {
namespace {

struct Sse2 {
    static constexpr int kWidth = 4;
    using V = __m128;
    static V Zero() { return _mm_setzero_ps(); }
    static V Set1(float value) { return _mm_set1_ps(value); }
    static V Load(const float *from) { return _mm_loadu_ps(from); }
    static void Store(float *to, V value) { _mm_storeu_ps(to, value); }
    static V Add(V x, V y) { return _mm_add_ps(x, y); }
    static V Sub(V x, V y) { return _mm_sub_ps(x, y); }
    static V Mul(V x, V y) { return _mm_mul_ps(x, y); }
    static V Div(V x, V y) { return _mm_div_ps(x, y); }
    // Flips the sign bit, as the scalar minus does (also of 0 and NaN).
    static V Neg(V x) { return _mm_xor_ps(x, _mm_set1_ps(-0.0f)); }

    // Samples n .. n + 3 of four frames, to float, transposed: lane l of to[m]
    // is sample n + m of frame l.
    static void LoadTransposed(const std::int16_t *const rows[4], int n, V *to) {
        __m128i r[4];
        for (int l = 0; l < 4; ++l)
            r[l] = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(rows[l] + n));
        const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpacklo_epi16(r[2], r[3]);
        const __m128i u0 = _mm_unpacklo_epi32(t0, t1), u1 = _mm_unpackhi_epi32(t0, t1);
        const __m128i columns[4] = {u0, _mm_unpackhi_epi64(u0, u0), u1,
                                    _mm_unpackhi_epi64(u1, u1)};
        for (int m = 0; m < 4; ++m) {
            // Sign-extend the low four 16-bit values to 32 bits.
            const __m128i wide = _mm_srai_epi32(_mm_unpacklo_epi16(columns[m], columns[m]), 16);
            to[m] = _mm_cvtepi32_ps(wide);
        }
    }
};

}  // namespace

void AnalyzeLanes4(const Job &job) { Analyze<Sse2>(job); }

}  // namespace vantrel::lanes
