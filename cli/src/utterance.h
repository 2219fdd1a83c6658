// An utterance ready to stream: an audio file read as the capture format
// (8000 Hz, mono, 16-bit), analysed by the library, and cut into the "DATA"
// packets that the window would send for it, each tagged with the capture
// tick that would send it.
//
// The window records from sample 1 of its capture buffer on (sample 0 is
// never part of a frame), and its tick, every 370 ms, finds 2960 new samples
// and sends the frames whose sample after the frame is recorded: a frame
// starting at sample p goes out at the first tick whose position exceeds
// p + 160. The floats are the library's offline analysis (Test) of the
// samples from the second on, so the packet stream equals that analysis
// float for float. Each tick's floats leave the library the way the window
// drains them: packets of the floats waiting + 3 slots, at most 512 (509
// floats), the last one shorter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packet/capture_settings.h"

namespace tessary::cli {

// The window's settings for InitClient.
inline constexpr std::int32_t kTickMs = capture::kTickMs;
inline constexpr std::int32_t kNumCep = capture::kCepstra;
inline constexpr std::int32_t kFrameFloats = capture::kFrameFloats;
inline constexpr std::int32_t kWindowLength = capture::kWindowLength;
inline constexpr std::int32_t kFrameShift = capture::kFrameShift;
inline constexpr std::int32_t kCaptureMs = capture::kCaptureMs;
inline constexpr std::int32_t kSampleRate = capture::kSampleRate;
inline constexpr std::int32_t kSamplesPerTick = kTickMs * kSampleRate / 1000;  // 2960
inline constexpr std::int32_t kMaxSamples = kCaptureMs * kSampleRate / 1000;   // 160000

struct DataPacket {
    std::int32_t tick = 0;  // 1 for the first tick, 370 ms after the start
    std::vector<std::uint8_t> bytes;
};

struct Utterance {
    std::size_t index = 0;          // place in the list
    std::string file;               // as given
    std::string expected;           // UTF-8; empty when not known
    std::int32_t samples = 0;       // at 8000 Hz, at most 20 s
    bool cut = false;               // the file was longer than 20 s
    std::int32_t ticks = 0;         // ticks until every sample is recorded
    std::int32_t floats = 0;
    std::vector<DataPacket> packets;  // numbered from 0

    double AudioMs() const { return samples / 8.0; }
};

// Reads a file with libsndfile and converts it to 8000 Hz mono (the
// library's reader); keeps at most 20 s. Returns nothing, and the reason in
// *error, when the file cannot be read.
std::optional<std::vector<std::int16_t>> ReadAudio(const std::string &path, bool *cut, std::string *error);

// Analyses the samples with the library and cuts the packets. Uses the
// library's capture side, which is one per process: call it from one thread
// only, and not while a recording runs.
void Analyse(const std::vector<std::int16_t> &samples, Utterance *utterance);

// The expected word in a file name: the name up to its first dot
// ("tři.2.wav" gives "tři"); empty for a name that starts with a dot.
std::string WordFromFileName(const std::string &path);

}  // namespace tessary::cli
