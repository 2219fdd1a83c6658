// The PortAudio output adapter on ALSA's null device (ALSA_CONFIG_PATH is set
// by the test's environment to alsa_null.conf): the stream opens at 8000 Hz
// or at a rate of its own with the samples converted,
// reports positions by the card's clock, and its end is released from the
// releaser thread, never from inside PortAudio's own callback.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "core/playback.h"
#include "platform/portaudio_playback_device.h"
#include "playback_fakes.h"

namespace vantrel::testing {
namespace {

using namespace std::chrono_literals;

// Plays one second at 8000 Hz for 300 ms, then checks the position: not
// what was handed over (the null device takes everything at once), but what
// the card's clock says has played, in samples at 8000 Hz.
void ExpectPositionByTheClock(PortAudioPlaybackDevice &device, const std::vector<std::int16_t> &samples) {
    ASSERT_EQ(device.Prepare(samples.data(), 8000), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(device.Write(), 0);
    std::this_thread::sleep_for(300ms);
    std::int32_t position = -1;
    ASSERT_EQ(device.Position(&position), 0);
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(position, 8 * 150);
    EXPECT_LE(position, 8 * elapsedMs + 800);
}

TEST(PortAudioPlayback, PositionsFollowTheCardsClock) {
    PortAudioPlaybackDevice device;
    const PlaybackFormat format{1, 1, 8000, 16000, 2, 16, 0};
    std::atomic<int> notices{0};
    ASSERT_EQ(device.Open(format, [&] { ++notices; }), 0) << device.ErrorText(0);
    EXPECT_EQ(device.DeviceRate(), 8000.0);
    const std::vector<std::int16_t> samples(8000, 300);
    ASSERT_NO_FATAL_FAILURE(ExpectPositionByTheClock(device, samples));
    EXPECT_EQ(device.Close(), 0);
    EXPECT_LE(notices.load(), 1);
}

// A card opened at 48000 Hz is fed the buffer converted up, and its
// position is still counted in samples at 8000 Hz.
TEST(PortAudioPlayback, AConvertingCardCountsPositionsAt8000Hz) {
    PortAudioPlaybackDevice device(48000.0);
    const PlaybackFormat format{1, 1, 8000, 16000, 2, 16, 0};
    ASSERT_EQ(device.Open(format, [] {}), 0) << device.ErrorText(0);
    EXPECT_EQ(device.DeviceRate(), 48000.0);
    std::vector<std::int16_t> samples(8000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i % 40 * 500 - 10000);
    ASSERT_NO_FATAL_FAILURE(ExpectPositionByTheClock(device, samples));
    EXPECT_EQ(device.Close(), 0);
}

TEST(PortAudioPlayback, TheEndIsReleasedOutsideTheCallback) {
    for (const double cardRate : {0.0, 44100.0}) {
        SCOPED_TRACE(cardRate);
        Playback playback([cardRate] { return std::make_unique<PortAudioPlaybackDevice>(cardRate); });
        const std::vector<std::int16_t> samples(800, -200);
        for (int round = 0; round < 3; ++round) {
            ASSERT_NE(playback.Open(samples.data(), 800), 0) << "round " << round;
            ASSERT_TRUE(WaitUntil([&] { return !playback.DeviceOpen(); })) << "round " << round;
            EXPECT_FALSE(playback.Playing());
            EXPECT_EQ(playback.Close(), 0);
        }
    }
}

}  // namespace
}  // namespace vantrel::testing
