// The analysis settings the program gives the library (InitClient), and the
// size of the "DATA" packets it takes out of it. The window and tessary-cli
// both stream with these, so that a server sees the same stream from either.
#pragma once

#include <cstdint>

namespace tessary::capture {

inline constexpr std::int32_t kTickMs = 370;        // capture tick
inline constexpr std::int32_t kCepstra = 8;         // cepstral coefficients per frame
inline constexpr std::int32_t kFrameFloats = kCepstra + 1;  // and the log energy
inline constexpr std::int32_t kWindowLength = 160;  // frame length in samples (20 ms)
inline constexpr std::int32_t kFrameShift = 80;     // frame shift in samples (10 ms)
inline constexpr std::int32_t kCaptureMs = 20000;   // longest utterance: 20 s
inline constexpr std::int32_t kSampleRate = 8000;
// Largest "DATA" packet taken from the library, in 32-bit slots (the 12-byte
// head included): 509 floats.
inline constexpr std::int32_t kParamSlots = 512;

}  // namespace tessary::capture
