#include "utterance.h"

#include <algorithm>
#include <filesystem>

#include "platform/audio_file.h"
#include "vantrel.h"

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

    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(kPacketSlots) * 4);
    std::int32_t sent = 0;  // frames taken so far
    for (std::int32_t tick = 1; tick <= u->ticks; ++tick) {
        const std::int32_t ready = std::min(frames, FramesReady(std::min(tick * kSamplesPerTick, u->samples)));
        std::int32_t waiting = (ready - sent) * kFrameFloats;
        sent = ready;
        if (waiting <= 0) continue;
        const std::int32_t units = std::min(waiting + 3, kPacketSlots);
        while (waiting > 0) {
            const std::int32_t take = std::min(waiting, units - 3);
            if (GetParam(buffer.data(), take + 3) < 0) return;
            u->packets.push_back({tick, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 12 + 4 * take)});
            waiting -= take;
            u->floats += take;
        }
    }
    DeallocEnv();
}

std::string WordFromFileName(const std::string &path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.substr(0, name.find('.'));
}

}  // namespace tessary::cli
