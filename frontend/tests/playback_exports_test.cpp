// OpenSoundCardOut and CloseSoundCardOut through the shared library, as any
// caller uses them, "playing" into VANTREL_PLAYBACK_FILE in real time.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_recordings.h"
#include "vantrel.h"

namespace {

using namespace std::chrono_literals;
using vantrel::testing::ReadWav;
using vantrel::testing::TempDir;

std::vector<int16_t> Sweep(std::size_t count, int step) {
    std::vector<int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>((static_cast<int>(i) * step) % 30000 - 15000);
    return samples;
}

class PlaybackExports : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = (dir_.Path() / "played.wav").string();
        setenv("VANTREL_PLAYBACK_FILE", path_.c_str(), 1);
    }
    void TearDown() override {
        CloseSoundCardOut();
        unsetenv("VANTREL_PLAYBACK_FILE");
    }
    // Waits until a new buffer is accepted, i.e. the last one is released.
    static bool OpenWhenIdle(const int16_t *samples, int32_t count, int32_t *handle) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while ((*handle = OpenSoundCardOut(samples, count)) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    TempDir dir_;
    std::string path_;
};

TEST_F(PlaybackExports, NothingToPlayAndNothingPlaying) {
    const int16_t one = 1;
    EXPECT_EQ(OpenSoundCardOut(&one, 0), 0);
    EXPECT_EQ(OpenSoundCardOut(&one, -1), 0);
    EXPECT_EQ(CloseSoundCardOut(), 0);
    EXPECT_FALSE(std::filesystem::exists(path_)) << "count < 1 opens no device";
}

TEST_F(PlaybackExports, StoppedHalfASecondInReportsAbout4000Samples) {
    const auto samples = Sweep(8000, 7);
    ASSERT_NE(OpenSoundCardOut(samples.data(), 8000), 0);
    std::this_thread::sleep_for(500ms);
    const int32_t position = CloseSoundCardOut();
    // The sleep may overrun on a loaded machine, never fall short.
    EXPECT_GE(position, 3960);
    EXPECT_LE(position, 5200);
    EXPECT_EQ(CloseSoundCardOut(), 0) << "stopped and released";
    const auto written = ReadWav(path_);
    EXPECT_GE(static_cast<int32_t>(written.size()), position);
    EXPECT_LT(written.size(), 8000u);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), samples.begin()));
}

TEST_F(PlaybackExports, ASecondBufferWhilePlayingIsTurnedAway) {
    const auto first = Sweep(1200, 3);  // 150 ms
    const auto second = Sweep(400, 11);
    ASSERT_NE(OpenSoundCardOut(first.data(), 1200), 0);
    EXPECT_EQ(OpenSoundCardOut(second.data(), 400), 0);
    // Retried until the first buffer has ended, into a file of its own.
    const std::string secondPath = (dir_.Path() / "second.wav").string();
    setenv("VANTREL_PLAYBACK_FILE", secondPath.c_str(), 1);
    int32_t handle = 0;
    ASSERT_TRUE(OpenWhenIdle(second.data(), 400, &handle)) << "the first buffer never ended";
    EXPECT_EQ(ReadWav(path_), first) << "the first buffer played whole";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(CloseSoundCardOut(), 0) << "the second buffer played to its end";
    EXPECT_EQ(ReadWav(secondPath), second);
}

TEST_F(PlaybackExports, TheCallersArrayMayGoAtOnceAndABufferPlayedToItsEndIsFollowedByAnother) {
    const auto expected = Sweep(1600, 5);  // 200 ms
    auto samples = std::make_unique<std::vector<int16_t>>(expected);
    const int32_t first = OpenSoundCardOut(samples->data(), 1600);
    ASSERT_NE(first, 0);
    std::fill(samples->begin(), samples->end(), int16_t{-1});
    samples.reset();

    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(CloseSoundCardOut(), 0) << "played to its end by itself";
    EXPECT_EQ(ReadWav(path_), expected);

    const auto next = Sweep(800, 9);
    int32_t second = 0;
    ASSERT_TRUE(OpenWhenIdle(next.data(), 800, &second));
    EXPECT_NE(second, 0);
    std::this_thread::sleep_for(50ms);
    const int32_t position = CloseSoundCardOut();
    EXPECT_GT(position, 0);
    EXPECT_LT(position, 800);
}

TEST_F(PlaybackExports, AnUnwritableFileGivesTheErrorLineAndZero) {
    const std::string bad = (dir_.Path() / "missing" / "x.wav").string();
    setenv("VANTREL_PLAYBACK_FILE", bad.c_str(), 1);
    const auto samples = Sweep(80, 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(OpenSoundCardOut(samples.data(), 80), 0);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("vantrel: Error on the sound card. ", 0), 0u) << said;
    EXPECT_NE(said.find(bad), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(CloseSoundCardOut(), 0);
}

}  // namespace
