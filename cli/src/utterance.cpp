#include "utterance.h"

#include <algorithm>
#include <filesystem>

#include "packet/drain.h"
#include "platform/audio_file.h"
#include "vantrel.h"
#include "wire.h"

namespace tessary::cli {

std::optional<std::vector<std::int16_t>> ReadAudio(const std::string &path, bool *cut, std::string *error) {
    std::vector<std::int16_t> samples;
    // One sample more than is kept tells whether the file was longer.
    if (!vantrel::ReadAudioFile8k(path, kMaxSamples + 1, &samples, error)) return std::nullopt;
    *cut = samples.size() > static_cast<std::size_t>(kMaxSamples);
    if (*cut) samples.resize(static_cast<std::size_t>(kMaxSamples));
    return samples;
}

namespace {

// Frames whose start p (counted from sample 1) has p + 160 below the
// recorded count minus 1.
std::int32_t FramesReady(std::int32_t recorded) {
    const std::int32_t limit = recorded - 1 - kWindowLength;  // frame starts below this
    if (limit <= 0) return 0;
    return (limit + kFrameShift - 1) / kFrameShift;
}

}  // namespace

void Analyse(const std::vector<std::int16_t> &samples, Utterance *u) {
    u->samples = static_cast<std::int32_t>(samples.size());
    u->ticks = (u->samples + kSamplesPerTick - 1) / kSamplesPerTick;
    u->packets.clear();
    u->floats = 0;
    const std::int32_t frames = FramesReady(u->samples);
    if (frames == 0) return;

    // A parameter buffer with room for every frame: its capacity follows
    // from the tick period, (period * 9 * 80 / 80) + 1 floats, and a frame is
    // stored while one float stays free.
    InitClient(nullptr, frames + 1, kNumCep, kWindowLength, kFrameShift, kCaptureMs);
    Test(samples.data() + 1, u->samples - 1);

    std::vector<std::uint8_t> buffer;
    std::int32_t sent = 0;  // frames taken so far
    for (std::int32_t tick = 1; tick <= u->ticks; ++tick) {
        const std::int32_t ready = std::min(frames, FramesReady(std::min(tick * kSamplesPerTick, u->samples)));
        const std::int32_t waiting = (ready - sent) * kFrameFloats;
        sent = ready;
        // The floats this tick would find: a drain of the window's, from the
        // parameter buffer that holds the whole recording.
        u->floats += DrainPackets({&GetParam, Codec()}, waiting, buffer, [&](std::span<const std::uint8_t> packet) {
                         u->packets.push_back({tick, std::vector<std::uint8_t>(packet.begin(), packet.end())});
                     }).floats;
    }
    DeallocEnv();
}

std::string WordFromFileName(const std::string &path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.substr(0, name.find('.'));
}

}  // namespace tessary::cli
