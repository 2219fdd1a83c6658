// The body of the lane kernels, shared by every instruction set. Included
// only by the source file of one instruction set, which supplies the lane
// operations L and instantiates Analyze<L> for its own Job.
//
// Every lane performs exactly the float operations of
// FrameAnalyzer::AnalyzeFrame, in the same order (see frame_analyzer.h);
// vector instructions round each lane as the scalar ones round a float, so
// a lane's results equal the scalar results bit for bit. The only scalar
// steps, the log10 and the error floor, are the scalar code per lane.
//
// Everything here has internal linkage and uses no inline function of a
// library header: the file is compiled for one instruction set, and no
// function of it may stand in for a function of another file.
#pragma once

#include <math.h>

#include <cstdint>

#include "core/frame_analyzer_lanes.h"

namespace vantrel::lanes {
namespace {

// Autocorrelation of lags j0 .. j0 + B - 1 of every lane: R[j] = R[j] +
// w[i + j] * w[i] for i = 0 .. N - 1 in order. The rows w[i + j] of the
// block stay in registers, one new row per step; the steps go B at a time,
// so that the rows rotate through fixed registers. The rows past N - 1 are
// zero, so the terms past a lag's last index (and past N - 1) add w[i] * 0
// or 0 * w[i + j] to a sum that is never -0, and leave it unchanged.
template <class L, int B>
void LagBlock(const float *work, int windowLength, int j0, float *autocorr) {
    constexpr long W = L::kWidth;  // row index times W: in long
    typename L::V sums[B], shifted[B];
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
        sums[b] = L::Zero();
        shifted[b] = L::Load(work + (j0 + b) * W);
    }
    for (int i = 0; i < windowLength; i += B) {
#pragma GCC unroll 8
        for (int r = 0; r < B; ++r) {
            // shifted[(b + r) % B] holds row i + r + j0 + b.
            const typename L::V wi = L::Load(work + (i + r) * W);
#pragma GCC unroll 8
            for (int b = 0; b < B; ++b)
                sums[b] = L::Add(sums[b], L::Mul(shifted[(b + r) % B], wi));
            shifted[r] = L::Load(work + (i + r + j0 + B) * W);
        }
    }
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) L::Store(autocorr + (j0 + b) * W, sums[b]);
}

// All lags, in blocks of at most 7 (two registers per lag and one more).
template <class L>
void Autocorrelation(const float *work, int windowLength, int numLags, float *autocorr) {
    for (int j0 = 0; j0 < numLags;) {
        const int remaining = numLags - j0;
        const int blocks = (remaining + 6) / 7;
        const int size = (remaining + blocks - 1) / blocks;
        switch (size) {
            case 7: LagBlock<L, 7>(work, windowLength, j0, autocorr); break;
            case 6: LagBlock<L, 6>(work, windowLength, j0, autocorr); break;
            case 5: LagBlock<L, 5>(work, windowLength, j0, autocorr); break;
            case 4: LagBlock<L, 4>(work, windowLength, j0, autocorr); break;
            case 3: LagBlock<L, 3>(work, windowLength, j0, autocorr); break;
            case 2: LagBlock<L, 2>(work, windowLength, j0, autocorr); break;
            default: LagBlock<L, 1>(work, windowLength, j0, autocorr); break;
        }
        j0 += size;
    }
}

template <class L>
void Analyze(const Job &job) {
    using V = typename L::V;
    constexpr long W = L::kWidth;  // row index times W: in long
    const int N = job.windowLength;
    const int p = job.lpcOrder;
    const int q = job.numCep;
    const int shift = job.frameShift;
    const int stride = q + 1;

    // Scratch rows of W floats: the frames (with zero rows after them), R, a,
    // b, c, and two rows for lane-wise scalar steps.
    float *work = job.scratch;
    const int zeroRows = job.numLags + 2 * kMaxLanes;
    float *autocorr = work + (N + zeroRows) * W;
    float *a = autocorr + job.numLags * W;
    float *b = a + (p + 1) * W;
    float *c = b + (p + 1) * W;
    float *lane = c + (q + 1) * W;
    float *energy = lane + W;
    for (long n = N * W; n < (N + zeroRows) * W; ++n) work[n] = 0.0f;

    const float *const window = job.window;
    const V preEmphasis = L::Set1(job.preEmphasis);
    const V gain = L::Set1(job.preEmphasisGain);
    const V one = L::Set1(1.0f);

    for (int batch = 0; batch < job.batches; ++batch) {
        const int first = batch * static_cast<int>(W);
        const std::int16_t *rows[W];
        for (int l = 0; l < W; ++l) rows[l] = job.samples + static_cast<long>(first + l) * shift;

        // Pre-emphasis and window, W samples of every lane at a time.
        for (int l = 0; l < W; ++l)
            lane[l] = first + l == 0 ? job.prevSample : static_cast<float>(rows[l][-1]);
        V previous = L::Load(lane);
        int n = 0;
        for (; n + W <= N; n += W) {
            V x[W];
            L::LoadTransposed(rows, n, x);
#pragma GCC unroll 16
            for (int m = 0; m < W; ++m) {
                const V emphasised = L::Mul(L::Sub(x[m], L::Mul(preEmphasis, previous)), gain);
                L::Store(work + (n + m) * W, L::Mul(L::Set1(window[n + m]), emphasised));
                previous = x[m];
            }
        }
        for (; n < N; ++n) {
            for (int l = 0; l < W; ++l) lane[l] = static_cast<float>(rows[l][n]);
            const V x = L::Load(lane);
            const V emphasised = L::Mul(L::Sub(x, L::Mul(preEmphasis, previous)), gain);
            L::Store(work + n * W, L::Mul(L::Set1(window[n]), emphasised));
            previous = x;
        }

        // Autocorrelation.
        Autocorrelation<L>(work, N, job.numLags, autocorr);

        // Log energy and the error floor, per lane as in the scalar code.
        for (int l = 0; l < W; ++l) {
            const float r0 = autocorr[l];
            energy[l] = static_cast<float>(log10(static_cast<double>(r0)));
            lane[l] = static_cast<double>(r0) >= 1e-30 ? r0 : static_cast<float>(1e-30);
        }
        V error = L::Load(lane);

        // Levinson-Durbin.
        V k = L::Div(L::Neg(L::Load(autocorr + W)), error);
        L::Store(a + W, k);
        error = L::Mul(L::Sub(one, L::Mul(k, k)), error);
        for (int i = 2; i <= p; ++i) {
            for (int j = 1; j < i; ++j) L::Store(b + j * W, L::Load(a + j * W));
            k = L::Neg(L::Load(autocorr + i * W));
            for (int j = 1; j < i; ++j)
                k = L::Sub(k, L::Mul(L::Load(autocorr + (i - j) * W), L::Load(b + j * W)));
            k = L::Div(k, error);
            for (int j = 1; j < i; ++j)
                L::Store(a + j * W, L::Add(L::Load(a + j * W), L::Mul(k, L::Load(b + (i - j) * W))));
            L::Store(a + i * W, k);
            error = L::Mul(L::Sub(one, L::Mul(k, k)), error);
        }

        // LPC to cepstrum, c[n] in row n.
        L::Store(c + W, L::Neg(L::Load(a + W)));
        for (int m = 2; m <= q; ++m) {
            V sum = L::Zero();
            for (int j = 1; j < m; ++j)
                sum = L::Sub(sum, L::Mul(L::Mul(L::Load(c + (m - j) * W), L::Load(a + j * W)),
                                         L::Set1(static_cast<float>(m - j))));
            L::Store(c + m * W,
                     L::Sub(L::Div(sum, L::Set1(static_cast<float>(m))), L::Load(a + m * W)));
        }

        // Liftering, then out frame by frame.
        for (int i = 0; i < q; ++i)
            L::Store(c + (i + 1) * W, L::Mul(L::Set1(job.lifter[i]), L::Load(c + (i + 1) * W)));
        for (int l = 0; l < W; ++l) {
            float *frame = job.out + static_cast<long>(first + l) * stride;
            for (int i = 0; i < q; ++i) frame[i] = c[(i + 1) * W + l];
            frame[q] = energy[l];
        }
    }
}

}  // namespace
}  // namespace vantrel::lanes
