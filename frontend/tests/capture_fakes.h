// In-memory stand-ins for the capture engine's two seams: a tape that the
// device "records" up to the position the test sets, and a host whose timer
// the test fires itself.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "core/capture_device.h"
#include "core/frame_analyzer.h"
#include "float_bits.h"

namespace vantrel::testing {

struct Tape {
    std::vector<std::int16_t> samples;  // what arrives; silence after its end
    std::int32_t position = 0;          // what the device reports
    bool positionFails = false;
    bool openFails = false;
    int opens = 0;
    int closes = 0;
    bool open = false;
};

class TapeDevice final : public CaptureDevice {
public:
    explicit TapeDevice(Tape *tape) : tape_(tape) {}
    int Open(std::int16_t *buffer, std::int32_t length) override {
        ++tape_->opens;
        if (tape_->openFails) return -1;
        buffer_ = buffer;
        length_ = length;
        tape_->open = true;
        return 0;
    }
    int Position(std::int32_t *samples) override {
        if (tape_->positionFails) return -1;
        // The device writes no further than its buffer, whatever it reports.
        const auto end = std::min<std::size_t>(
            {tape_->samples.size(), static_cast<std::size_t>(std::max(0, tape_->position)),
             static_cast<std::size_t>(length_)});
        std::copy(tape_->samples.begin(), tape_->samples.begin() + static_cast<std::ptrdiff_t>(end),
                  buffer_);
        *samples = tape_->position;
        return 0;
    }
    int Close() override {
        ++tape_->closes;
        tape_->open = false;
        return 0;
    }

private:
    Tape *tape_;
    std::int16_t *buffer_ = nullptr;
    std::int32_t length_ = 0;
};

inline CaptureDeviceFactory TapeFactory(Tape *tape) {
    return [tape] { return std::make_unique<TapeDevice>(tape); };
}

class FakeHost final : public CaptureHost {
public:
    std::uint32_t SetTimer(std::int32_t periodMs) override {
        if (failTimer) return 0;
        period = periodMs;
        running = ++lastId;
        return running;
    }
    void KillTimer(std::uint32_t timerId) override {
        killed.push_back(timerId);
        if (timerId == running) running = 0;
    }
    void PostNotify(std::int32_t code) override { codes.push_back(code); }

    bool failTimer = false;
    std::int32_t period = 0;
    std::uint32_t lastId = 0;
    std::uint32_t running = 0;
    std::vector<std::uint32_t> killed;
    std::vector<std::int32_t> codes;
};

// Speech-like test signal: deterministic noise that is never zero.
inline std::vector<std::int16_t> Noise(std::size_t count, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> amplitude(1, 4000);
    std::bernoulli_distribution sign(0.5);
    std::vector<std::int16_t> samples(count);
    for (auto &s : samples) s = static_cast<std::int16_t>(sign(random) ? amplitude(random) : -amplitude(random));
    return samples;
}

// The frames that start at samples[0], samples[80], ..., analysed one by one
// with a fresh analyzer of the client's settings, each followed by its energy.
inline std::vector<float> ReferenceFrames(const std::int16_t *samples, int frames,
                                          float prevSample = 0.0f) {
    FrameAnalyzer analyzer;
    analyzer.Configure(160, 80, 13, 12, 8);
    analyzer.SetPrevSample(prevSample);
    std::vector<float> out(static_cast<std::size_t>(frames) * 9);
    for (int k = 0; k < frames; ++k) {
        float *frame = out.data() + static_cast<std::size_t>(k) * 9;
        analyzer.AnalyzeFrame(samples + static_cast<std::ptrdiff_t>(k) * 80, frame);
        frame[8] = analyzer.LogEnergy();
    }
    return out;
}

}  // namespace vantrel::testing
