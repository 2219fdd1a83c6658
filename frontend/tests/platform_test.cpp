// The platform pieces that need no sound card: reading audio files as the
// capture format, the rate conversion of the sound card's stream, and the
// replay device under a clock the test sets.
#include "collected_messages.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "platform/audio_file.h"
#include "platform/rate_converter.h"
#include "platform/replay_capture_device.h"
#include "test_recordings.h"

namespace vantrel {
namespace {

using testing::TempDir;

// Writes interleaved 16-bit frames as a WAV file.
std::string WriteWav(const TempDir &dir, const std::string &name, int rate, int channels,
                     const std::vector<short> &interleaved) {
    const std::string path = (dir.Path() / name).string();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    if (file == nullptr) return path;
    sf_writef_short(file, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
    sf_close(file);
    return path;
}

std::vector<short> Sine(int rate, double hz, double amplitude, int count) {
    std::vector<short> samples(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        samples[static_cast<std::size_t>(i)] =
            static_cast<short>(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate)));
    }
    return samples;
}

TEST(AudioFile, A16BitMonoFileAt8000HzComesThroughSampleForSample) {
    TempDir dir;
    std::vector<short> samples = Sine(8000, 440, 30000, 4000);
    samples[7] = -32768;
    const std::string path = WriteWav(dir, "mono.wav", 8000, 1, samples);
    std::vector<std::int16_t> read;
    std::string error;
    ASSERT_TRUE(ReadAudioFile8k(path, 100000, &read, &error)) << error;
    EXPECT_EQ(std::vector<short>(read.begin(), read.end()), samples);
    ASSERT_TRUE(ReadAudioFile8k(path, 1000, &read, &error)) << error;
    EXPECT_EQ(read.size(), 1000u) << "no more than asked for";
}

TEST(AudioFile, ChannelsAreMixedToTheirMean) {
    TempDir dir;
    const std::vector<short> stereo{1000, 3000, -32768, -32768, 32767, -32767, 5, 6};
    const std::string path = WriteWav(dir, "stereo.wav", 8000, 2, stereo);
    std::vector<std::int16_t> read;
    std::string error;
    ASSERT_TRUE(ReadAudioFile8k(path, 100, &read, &error)) << error;
    EXPECT_EQ(read, (std::vector<std::int16_t>{2000, -32768, 0, 6}));
}

TEST(AudioFile, OtherRatesAreConvertedTo8000Hz) {
    TempDir dir;
    const std::string path = WriteWav(dir, "sine48k.wav", 48000, 1, Sine(48000, 500, 16000, 48000));
    std::vector<std::int16_t> read;
    std::string error;
    ASSERT_TRUE(ReadAudioFile8k(path, 100000, &read, &error)) << error;
    EXPECT_NEAR(static_cast<double>(read.size()), 8000.0, 2.0);
    const std::vector<short> expected = Sine(8000, 500, 16000, 8000);
    for (std::size_t i = 200; i + 200 < read.size(); ++i) {
        ASSERT_NEAR(read[i], expected[i], 160) << i;
    }
}

TEST(AudioFile, AnUnreadableFileGivesTheReason) {
    TempDir dir;
    std::vector<std::int16_t> read{1, 2};
    std::string error;
    EXPECT_FALSE(ReadAudioFile8k((dir.Path() / "missing.wav").string(), 100, &read, &error));
    EXPECT_FALSE(error.empty());
    const std::string text = (dir.Path() / "text.wav").string();
    FILE *file = std::fopen(text.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("not a recording\n", file);
    std::fclose(file);
    error.clear();
    EXPECT_FALSE(ReadAudioFile8k(text, 100, &read, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(read.empty());
}

// The sound card brings its stream in pieces of any size: the conversion must
// not depend on where the pieces were cut.
TEST(RateConverter, PiecesOfAnySizeGiveTheConversionOfTheWholeStream) {
    std::vector<float> input(48000);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 700 * static_cast<double>(i) / 48000));
    }
    RateConverter whole;
    ASSERT_TRUE(whole.Prepare(48000, 8000, input.size()));
    std::vector<std::int16_t> expected(9000);
    const std::int32_t total = whole.Convert(input.data(), input.size(), expected.data(), 9000);
    EXPECT_NEAR(total, 8000, 64);

    std::mt19937 random(3);
    std::uniform_int_distribution<unsigned long> piece(1, 2000);
    RateConverter pieces;
    ASSERT_TRUE(pieces.Prepare(48000, 8000, 256));
    std::vector<std::int16_t> out(9000);
    std::int32_t written = 0;
    for (std::size_t at = 0; at < input.size();) {
        const unsigned long n = std::min<unsigned long>(piece(random), input.size() - at);
        written += pieces.Convert(input.data() + at, n, out.data() + written, 9000 - written);
        at += n;
    }
    const std::int32_t common = std::min(written, total);
    EXPECT_GT(common, 7800);
    for (std::int32_t i = 0; i < common; ++i) ASSERT_NEAR(out[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)], 1) << i;
    // The middle of the output is the 700 Hz sine at 8000 Hz.
    for (std::int32_t i = 500; i < 7500; ++i) {
        ASSERT_NEAR(out[static_cast<std::size_t>(i)], 16384 * std::sin(2 * std::numbers::pi * 700 * i / 8000), 200) << i;
    }
}

TEST(RateConverter, NeverWritesPastTheRoomGiven) {
    std::vector<float> input(4800, 0.25f);
    RateConverter converter;
    ASSERT_TRUE(converter.Prepare(48000, 8000, 256));
    std::vector<std::int16_t> out(300, 7);
    EXPECT_EQ(converter.Convert(input.data(), input.size(), out.data(), 100), 100);
    for (std::size_t i = 100; i < out.size(); ++i) ASSERT_EQ(out[i], 7) << i;
}

class ReplayDevice : public ::testing::Test {
protected:
    std::chrono::steady_clock::time_point Now() const { return now; }
    void Advance(int ms) { now += std::chrono::milliseconds(ms); }

    TempDir dir;
    std::chrono::steady_clock::time_point now{std::chrono::seconds(1000)};
};

TEST_F(ReplayDevice, RecordsTheFileInRealTimeThenSilence) {
    std::vector<short> file = Sine(8000, 300, 8000, 2000);
    for (auto &s : file) s = static_cast<short>(s == 0 ? 1 : s);
    const std::string path = WriteWav(dir, "replay.wav", 8000, 1, file);
    ReplayCaptureDevice device(path, [this] { return Now(); });
    std::vector<std::int16_t> buffer(4000, 0);
    std::int32_t pos = -1;
    EXPECT_EQ(device.Position(&pos), -1) << "not open yet";
    ASSERT_EQ(device.Open(buffer.data(), 4000), 0);
    ASSERT_EQ(device.Position(&pos), 0);
    EXPECT_EQ(pos, 0);
    Advance(100);
    ASSERT_EQ(device.Position(&pos), 0);
    EXPECT_EQ(pos, 800);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 800, buffer.begin()));
    EXPECT_EQ(buffer[800], 0) << "nothing beyond the position yet";
    Advance(300);  // past the file's end at 250 ms
    ASSERT_EQ(device.Position(&pos), 0);
    EXPECT_EQ(pos, 3200);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), buffer.begin()));
    for (std::size_t i = 2000; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << i;
    Advance(10000);
    ASSERT_EQ(device.Position(&pos), 0);
    EXPECT_EQ(pos, 4000) << "clamped to the buffer";
    EXPECT_EQ(device.Close(), 0);
    EXPECT_EQ(device.Position(&pos), -1);
    EXPECT_EQ(device.Close(), -1);
}

TEST_F(ReplayDevice, AnUnreadableFileFailsWithOneLineNamingIt) {
    const std::string path = (dir.Path() / "absent.flac").string();
    ReplayCaptureDevice device(path, [this] { return Now(); });
    std::vector<std::int16_t> buffer(100);
    testing::CollectedMessages messages;
    EXPECT_EQ(device.Open(buffer.data(), 100), -1);
    const std::vector<std::string> said = messages.Lines();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find(path), std::string::npos) << said[0];
    EXPECT_NE(said[0].find(sf_strerror(nullptr)), std::string::npos) << said[0];
}

}  // namespace
}  // namespace vantrel
