#!/usr/bin/python3
"""Computes the expected analysis frames of speech_cs_8k.wav.

Written apart from the library's C++ code, straight from the formulas of the
analysis: every value is a numpy float32, every sum is taken one term at a
time in increasing index order, and each operation rounds to float32. The
window and lifter weights and the log10 are computed in double (Python
floats, the C library's cos, sin and log10) and rounded to float32.

Usage: make_expected.py WAV NUM_CEP WINDOW_LENGTH FRAME_SHIFT OUT.f32
Writes the frames that an offline run over the whole file gives, starting
with a carried sample of 0: frames at k * FRAME_SHIFT while that is below
the sample count minus WINDOW_LENGTH, each NUM_CEP coefficients and the
log10 energy, as little-endian float32. The analysis uses NUM_CEP + 5 lags
and order NUM_CEP + 4.
"""
import math
import sys
import wave

import numpy as np

f32 = np.float32


def read_samples(path):
    with wave.open(path, "rb") as w:
        if w.getnchannels() != 1 or w.getsampwidth() != 2:
            raise SystemExit(f"{path}: need 16-bit mono")
        data = w.readframes(w.getnframes())
    return np.frombuffer(data, dtype="<i2")


def hamming(n_window):
    return [f32(0.54 - 0.46 * math.cos(n * 6.283185307178 / (n_window - 1)))
            for n in range(n_window)]


def lifter(q):
    return [f32(1.0 + 0.5 * q * math.sin((i + 1) * 3.141592653589 / q))
            for i in range(q)]


def analyse(x, prev, h, lw, n_lags, p, q):
    """One frame: x are the frame's samples as float32, prev the carried one."""
    n_window = len(x)
    e, g = f32(0.95), f32(1.0 / 1.95)
    # Pre-emphasis and window.
    w = [f32(0)] * n_window
    before = prev
    for n in range(n_window):
        w[n] = f32(f32(x[n] - f32(e * before)) * g)
        before = x[n]
    w = [f32(h[n] * w[n]) for n in range(n_window)]
    # Autocorrelation, each lag summed in increasing order.
    r = []
    for j in range(n_lags):
        s = f32(0)
        for i in range(n_window - j):
            s = f32(s + f32(w[i + j] * w[i]))
        r.append(s)
    # Log energy, unfloored; the error floor in double.
    energy = f32(math.log10(float(r[0]))) if r[0] > 0 else f32(-math.inf if r[0] == 0 else math.nan)
    err = r[0] if float(r[0]) >= 1e-30 else f32(1e-30)
    # Levinson-Durbin for A(z) = 1 + a1 z^-1 + ... + ap z^-p.
    a = [f32(0)] * (p + 1)
    k = f32(f32(-r[1]) / err)
    a[1] = k
    err = f32(f32(f32(1) - f32(k * k)) * err)
    for i in range(2, p + 1):
        b = list(a)
        k = f32(-r[i])
        for j in range(1, i):
            k = f32(k - f32(r[i - j] * b[j]))
        k = f32(k / err)
        for j in range(1, i):
            a[j] = f32(a[j] + f32(k * b[i - j]))
        a[i] = k
        err = f32(f32(f32(1) - f32(k * k)) * err)
    # Cepstrum c1 .. cq, then the lifter.
    c = [f32(0)] * (q + 1)
    c[1] = f32(-a[1])
    for n in range(2, q + 1):
        s = f32(0)
        for j in range(1, n):
            s = f32(s - f32(f32(c[n - j] * a[j]) * f32(n - j)))
        c[n] = f32(f32(s / f32(n)) - a[n])
    return [f32(lw[i] * c[i + 1]) for i in range(q)] + [energy]


def main():
    wav, q, n_window, shift, out = sys.argv[1], *map(int, sys.argv[2:5]), sys.argv[5]
    samples = read_samples(wav).astype(np.float32)
    h, lw = hamming(n_window), lifter(q)
    frames = []
    prev = f32(0)
    start = 0
    with np.errstate(all="ignore"):
        while start < len(samples) - n_window:
            x = samples[start:start + n_window]
            frames.append(analyse(x, prev, h, lw, q + 5, q + 4, q))
            prev = samples[start + shift - 1]
            start += shift
    np.array(frames, dtype="<f4").tofile(out)
    print(f"{out}: {len(frames)} frames of {q + 1} floats")


if __name__ == "__main__":
    main()
