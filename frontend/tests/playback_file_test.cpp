// Playback into a WAV file at real-time pace (the device used where there is
// no sound card), driven by the playback logic, with every release counted.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/playback.h"
#include "platform/file_playback_device.h"
#include "playback_fakes.h"
#include "test_recordings.h"

namespace vantrel::testing {
namespace {

using namespace std::chrono_literals;

std::vector<std::int16_t> Tone(std::size_t count, int seed) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<std::int16_t>((static_cast<int>(i) * (seed + 13)) % 16000 - 8000);
    }
    return samples;
}

// The real file device, with its closes counted.
class CountedFileDevice final : public PlaybackDevice {
public:
    CountedFileDevice(const std::string &path, Ledger *ledger) : device_(path), ledger_(ledger) {
        ++ledger_->made;
    }
    ~CountedFileDevice() override {
        if (!closed_) ++ledger_->droppedUnclosed;
    }
    int Open(const PlaybackFormat &format, PlaybackNotice notice) override {
        return device_.Open(format, [this, notice] {
            ++ledger_->notices;
            notice();
        });
    }
    int Prepare(const std::int16_t *samples, std::int32_t count) override {
        return device_.Prepare(samples, count);
    }
    int Write() override { return device_.Write(); }
    int Position(std::int32_t *samples) override { return device_.Position(samples); }
    int Close() override {
        if (closed_) ++ledger_->doubleCloses;
        closed_ = true;
        ++ledger_->closes;
        return device_.Close();
    }
    std::string ErrorText(int code) const override { return device_.ErrorText(code); }

private:
    FilePlaybackDevice device_;
    Ledger *ledger_;
    bool closed_ = false;
};

TEST(FilePlayback, PlaysAtRealTimePaceAndCompletesTheFileBeforeTheRelease) {
    TempDir dir;
    const std::string path = (dir.Path() / "out.wav").string();
    Ledger ledger;
    Playback playback([&] { return std::make_unique<CountedFileDevice>(path, &ledger); });
    const auto samples = Tone(1600, 1);  // 200 ms
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NE(playback.Open(samples.data(), 1600), 0);
    ASSERT_TRUE(WaitUntil([&] { return !playback.DeviceOpen(); }));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 200ms) << "not faster than a sound card";
    EXPECT_EQ(ledger.closes.load(), 1);
    EXPECT_EQ(ledger.notices.load(), 1);
    int rate = 0;
    EXPECT_EQ(ReadWav(path, &rate), samples);
    EXPECT_EQ(rate, 8000);
}

TEST(FilePlayback, AnUnwritableFileIsReportedWithTheReason) {
    TempDir dir;
    const std::string path = (dir.Path() / "no-such-folder" / "out.wav").string();
    std::string said;
    Playback playback([&] { return std::make_unique<FilePlaybackDevice>(path); },
                      [&](const char *caption, const std::string &text) { said = std::string(caption) + " " + text; });
    const auto samples = Tone(80, 2);
    EXPECT_EQ(playback.Open(samples.data(), 80), 0);
    EXPECT_NE(said.find("Error on the sound card."), std::string::npos) << said;
    EXPECT_NE(said.find(path), std::string::npos) << said;
    EXPECT_FALSE(playback.DeviceOpen());
}

// The real file device under Close at random moments around the natural end
// of buffers of 10 to 40 ms: each device closed once, every file a prefix of
// its buffer at least as long as the position reported, whole when the
// buffer played to its end.
TEST(FilePlaybackThreads, CloseAroundTheEndReleasesOnceAndKeepsThePlayedSamples) {
    TempDir dir;
    Ledger ledger;
    std::string path;
    Playback playback([&] { return std::make_unique<CountedFileDevice>(path, &ledger); });
    std::mt19937 random(3);
    int opened = 0;
    for (int i = 0; i < 40; ++i) {
        path = (dir.Path() / ("out" + std::to_string(i) + ".wav")).string();
        const auto count = static_cast<std::int32_t>(80 + random() % 240);
        const auto samples = Tone(static_cast<std::size_t>(count), i);
        ASSERT_NE(playback.Open(samples.data(), count), 0) << "round " << i;
        ++opened;
        const long endUs = count * 125L;
        std::this_thread::sleep_for(std::chrono::microseconds(endUs - 8000 + static_cast<long>(random() % 16000)));
        const std::int32_t position = playback.Close();
        ASSERT_TRUE(WaitUntil([&] { return !playback.DeviceOpen(); }));
        const auto written = ReadWav(path);
        ASSERT_LE(written.size(), samples.size());
        EXPECT_TRUE(std::equal(written.begin(), written.end(), samples.begin())) << "round " << i;
        if (position == 0) {
            EXPECT_EQ(written.size(), samples.size()) << "played to its end, round " << i;
        } else {
            EXPECT_GE(static_cast<std::int32_t>(written.size()), position) << "round " << i;
        }
    }
    EXPECT_EQ(ledger.made.load(), opened);
    EXPECT_EQ(ledger.closes.load(), opened);
    EXPECT_EQ(ledger.notices.load(), opened) << "one notice per buffer, played or stopped";
    EXPECT_EQ(ledger.doubleCloses.load(), 0);
    EXPECT_EQ(ledger.droppedUnclosed.load(), 0);
}

}  // namespace
}  // namespace vantrel::testing
