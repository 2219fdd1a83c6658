// Playback's logic driven through its seam with scripted devices: the rules
// of Open and Close, the failures, and the meeting of Close with the
// device's completion notice on two threads.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/playback.h"
#include "playback_fakes.h"

namespace vantrel::testing {
namespace {

using namespace std::chrono_literals;

struct Reported {
    std::mutex mutex;
    std::vector<std::string> lines;
};

SoundCardErrorReport Collect(Reported *reported) {
    return [reported](const char *caption, const std::string &text) {
        std::lock_guard<std::mutex> lock(reported->mutex);
        reported->lines.push_back(std::string(caption) + "|" + text);
    };
}

std::vector<std::int16_t> Ramp(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::int16_t>(i * 37 % 20000 - 10000);
    return samples;
}

TEST(Playback, FirstCallSetsUpTheFormatEvenWithNothingToPlay) {
    Ledger ledger;
    Playback playback(ScriptedFactory(&ledger));
    EXPECT_FALSE(playback.FormatReady());
    const std::int16_t one = 5;
    EXPECT_EQ(playback.Open(&one, 0), 0);
    EXPECT_EQ(playback.Open(&one, -3), 0);
    EXPECT_EQ(playback.Open(nullptr, 10), 0);
    EXPECT_TRUE(playback.FormatReady());
    EXPECT_EQ(ledger.made.load(), 0) << "nothing may be opened for count < 1";

    ASSERT_NE(playback.Open(&one, 1), 0);
    const PlaybackFormat &f = ledger.format;
    EXPECT_EQ(f.formatTag, 1);
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.samplesPerSecond, 8000);
    EXPECT_EQ(f.bytesPerSecond, 16000);
    EXPECT_EQ(f.blockAlign, 2);
    EXPECT_EQ(f.bitsPerSample, 16);
    EXPECT_EQ(f.extraBytes, 0);
}

TEST(Playback, PlaysItsOwnCopyAndTurnsAwayASecondBuffer) {
    Ledger ledger;
    Playback playback(ScriptedFactory(&ledger));
    auto first = std::make_unique<std::vector<std::int16_t>>(Ramp(800));
    const std::vector<std::int16_t> expected = *first;
    const std::int32_t handle = playback.Open(first->data(), 800);
    ASSERT_NE(handle, 0);
    // The caller's array may go at once: the device reads the copy (ASan
    // would see a read of freed memory here otherwise).
    std::fill(first->begin(), first->end(), std::int16_t{0});
    first.reset();
    EXPECT_TRUE(playback.Playing());
    EXPECT_EQ(playback.CopyCount(), 800);

    const std::vector<std::int16_t> second(100, 7);
    EXPECT_EQ(playback.Open(second.data(), 100), 0);
    EXPECT_EQ(ledger.made.load(), 1);
    EXPECT_EQ(playback.CopyCount(), 800);
    {
        std::lock_guard<std::mutex> lock(ledger.mutex);
        EXPECT_EQ(ledger.played, expected);
    }
    EXPECT_GE(playback.Close(), 0);
    EXPECT_EQ(ledger.closes.load(), 1);
    EXPECT_EQ(playback.CopyCount(), 0);
    EXPECT_EQ(playback.Close(), 0) << "nothing plays any more";
    EXPECT_EQ(ledger.closes.load(), 1);
}

TEST(Playback, CloseWhenIdleReturnsZeroAndClosesNothing) {
    Ledger ledger;
    Playback playback(ScriptedFactory(&ledger));
    EXPECT_EQ(playback.Close(), 0);
    EXPECT_EQ(ledger.closes.load(), 0);
}

TEST(Playback, ABufferThatPlayedToItsEndIsReleasedWithoutAnotherCall) {
    Ledger ledger;
    ledger.playMicroseconds = 20000;
    Playback playback(ScriptedFactory(&ledger));
    const auto samples = Ramp(160);
    const std::int32_t first = playback.Open(samples.data(), 160);
    ASSERT_NE(first, 0);
    ASSERT_TRUE(WaitUntil([&] { return !playback.DeviceOpen(); }));
    EXPECT_FALSE(playback.Playing());
    EXPECT_EQ(playback.CopyCount(), 0);
    EXPECT_EQ(ledger.closes.load(), 1);
    EXPECT_EQ(playback.Close(), 0);
    EXPECT_EQ(ledger.closes.load(), 1);

    const std::int32_t second = playback.Open(samples.data(), 160);
    EXPECT_NE(second, 0);
    EXPECT_NE(second, first);
}

// Guards against Playing being set only after the device started: a buffer
// whose notice comes before Write returns would stay "playing" for ever.
TEST(Playback, ABufferEndingBeforeWriteReturnsIsStillReleased) {
    Ledger ledger;
    ledger.playMicroseconds = 0;
    ledger.endsBeforeWriteReturns = true;
    Playback playback(ScriptedFactory(&ledger));
    const std::int16_t one = 1;
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(playback.Open(&one, 1), 0) << "round " << i;
        ASSERT_TRUE(WaitUntil([&] { return !playback.DeviceOpen(); }, std::chrono::milliseconds(1000)))
            << "round " << i;
        EXPECT_FALSE(playback.Playing());
    }
    EXPECT_EQ(ledger.closes.load(), 20);
    EXPECT_EQ(ledger.doubleCloses.load(), 0);
}

TEST(Playback, CloseReportsThePositionAndIgnoresTheNoticeItsStopRaises) {
    Ledger ledger;
    Playback playback(ScriptedFactory(&ledger));
    const auto samples = Ramp(8000);
    ASSERT_NE(playback.Open(samples.data(), 8000), 0);
    std::this_thread::sleep_for(50ms);
    const std::int32_t position = playback.Close();
    EXPECT_GE(position, 400);
    EXPECT_LT(position, 8000);
    EXPECT_EQ(ledger.notices.load(), 1) << "the stop raises the device's notice";
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ledger.closes.load(), 1);
    EXPECT_EQ(ledger.doubleCloses.load(), 0);
    EXPECT_FALSE(playback.DeviceOpen());
}

TEST(Playback, EachFailingStepIsReportedAndLeavesNothingOpen) {
    for (int step = 1; step <= 3; ++step) {
        SCOPED_TRACE(step);
        Ledger ledger;
        Reported reported;
        Playback playback(ScriptedFactory(&ledger), Collect(&reported));
        ledger.failAt = step;
        const auto samples = Ramp(400);
        EXPECT_EQ(playback.Open(samples.data(), 400), 0);
        ASSERT_EQ(reported.lines.size(), 1u);
        EXPECT_EQ(reported.lines[0], "Error on the sound card.|scripted failure " + std::to_string(10 + step));
        EXPECT_FALSE(playback.Playing());
        EXPECT_FALSE(playback.DeviceOpen());
        EXPECT_EQ(playback.CopyCount(), 0);
        EXPECT_EQ(ledger.closes.load(), 1) << "a half-opened device is closed again";

        ledger.failAt = 0;
        EXPECT_NE(playback.Open(samples.data(), 400), 0) << "the next buffer plays";
        EXPECT_EQ(playback.Close() >= 0, true);
        EXPECT_EQ(ledger.droppedUnclosed.load(), 0);
    }
}

TEST(Playback, NoDeviceAtAllIsReported) {
    Reported reported;
    Playback playback([] { return std::unique_ptr<PlaybackDevice>(); }, Collect(&reported));
    const std::int16_t one = 1;
    EXPECT_EQ(playback.Open(&one, 1), 0);
    ASSERT_EQ(reported.lines.size(), 1u);
    EXPECT_EQ(reported.lines[0].rfind("Error on the sound card.|", 0), 0u);
    EXPECT_EQ(playback.CopyCount(), 0);
}

// A device whose Position blocks until the test lets it go, so that a Close
// can be caught while it runs.
class GatedDevice final : public PlaybackDevice {
public:
    GatedDevice(std::atomic<bool> *inPosition, std::atomic<bool> *release)
        : inPosition_(inPosition), release_(release) {}
    int Open(const PlaybackFormat &, PlaybackNotice) override { return 0; }
    int Prepare(const std::int16_t *, std::int32_t) override { return 0; }
    int Write() override { return 0; }
    int Position(std::int32_t *samples) override {
        inPosition_->store(true);
        while (!release_->load()) std::this_thread::yield();
        *samples = 1234;
        return 0;
    }
    int Close() override { return 0; }
    std::string ErrorText(int) const override { return ""; }

private:
    std::atomic<bool> *inPosition_;
    std::atomic<bool> *release_;
};

TEST(PlaybackThreads, CloseEnteredWhileCloseRunsReturnsMinusOne) {
    std::atomic<bool> inPosition{false}, release{false};
    Playback playback([&] { return std::make_unique<GatedDevice>(&inPosition, &release); });
    const std::int16_t one = 1;
    ASSERT_NE(playback.Open(&one, 1), 0);
    std::int32_t first = 0;
    std::thread closer([&] { first = playback.Close(); });
    ASSERT_TRUE(WaitUntil([&] { return inPosition.load(); }));
    EXPECT_EQ(playback.Close(), -1);
    release = true;
    closer.join();
    EXPECT_EQ(first, 1234);
    EXPECT_EQ(playback.Close(), 0) << "Closing is clear again";
}

// Close at random moments around the natural end of short buffers: every
// device is closed exactly once, by Close or by the releaser, and nothing
// stays open or playing.
TEST(PlaybackThreads, CloseMeetingTheEndReleasesEachDeviceOnce) {
    Ledger ledger;
    Playback playback(ScriptedFactory(&ledger));
    std::mt19937 random(7);
    std::uniform_int_distribution<long> playFor(0, 2000);
    std::uniform_int_distribution<long> around(-400, 400);
    const auto samples = Ramp(64);
    constexpr int kRounds = 400;
    int opened = 0, stoppedEarly = 0;
    for (int i = 0; i < kRounds; ++i) {
        const long us = playFor(random);
        ledger.playMicroseconds = us;
        const std::int32_t handle = playback.Open(samples.data(), 64);
        if (handle == 0) {
            // The previous buffer's end has not been seen yet; it must be soon.
            ASSERT_TRUE(WaitUntil([&] { return !playback.Playing(); }));
            continue;
        }
        ++opened;
        std::this_thread::sleep_for(std::chrono::microseconds(std::max(0L, us + around(random))));
        if (random() % 2 == 0) {
            const std::int32_t position = playback.Close();
            ASSERT_GE(position, 0);
            ASSERT_LE(position, 64);
            if (position > 0) ++stoppedEarly;
        }
    }
    playback.Close();
    ASSERT_TRUE(WaitUntil([&] { return !playback.DeviceOpen(); }));
    EXPECT_EQ(ledger.made.load(), opened);
    EXPECT_EQ(ledger.closes.load(), opened);
    EXPECT_EQ(ledger.doubleCloses.load(), 0);
    EXPECT_EQ(ledger.droppedUnclosed.load(), 0);
    EXPECT_EQ(playback.CopyCount(), 0);
    EXPECT_FALSE(playback.Playing());
    RecordProperty("stoppedEarly", stoppedEarly);
}

// Two callers closing at once while the buffer ends: one of them may be
// turned away with -1, and the device is still released once.
TEST(PlaybackThreads, TwoClosersAndTheEndMeet) {
    Ledger ledger;
    Playback playback(ScriptedFactory(&ledger));
    const auto samples = Ramp(64);
    std::mt19937 random(11);
    int opened = 0;
    for (int i = 0; i < 200; ++i) {
        ledger.playMicroseconds = static_cast<long>(random() % 500);
        if (playback.Open(samples.data(), 64) == 0) {
            ASSERT_TRUE(WaitUntil([&] { return !playback.Playing(); }));
            continue;
        }
        ++opened;
        std::atomic<int> results[2]{0, 0};
        std::thread a([&] { results[0] = playback.Close(); });
        std::thread b([&] { results[1] = playback.Close(); });
        a.join();
        b.join();
        for (auto &r : results) {
            EXPECT_GE(r.load(), -1);
            EXPECT_LE(r.load(), 64);
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return !playback.DeviceOpen(); }));
    EXPECT_EQ(ledger.closes.load(), opened);
    EXPECT_EQ(ledger.doubleCloses.load(), 0);
}

}  // namespace
}  // namespace vantrel::testing
