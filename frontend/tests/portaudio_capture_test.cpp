// The sound card path through PortAudio and ALSA, with no sound card: a
// generated ALSA configuration makes the default capture device ALSA's file
// plugin, which reads a raw recording instead of a card. That device is not
// paced in real time, so these tests check the data and the positions, not
// the timing. The audio callback's thread and the test's thread (standing in
// for the tick) meet on the published position.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "capture_fakes.h"
#include "core/capture_engine.h"
#include "platform/capture_devices.h"
#include "platform/portaudio_capture_device.h"
#include "platform/portaudio_system.h"
#include "platform/rate_converter.h"
#include "test_recordings.h"

namespace vantrel {
namespace {

class PortAudioCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new testing::TempDir;
        const std::string wav = testing::Speak(dir_->Path(), "speech.wav", "Dobrý den, toto je zkouška záznamu.", 8000);
        ASSERT_FALSE(wav.empty()) << "espeak-ng or sox failed";
        speech_ = new std::vector<std::int16_t>(testing::ReadWithSox(dir_->Path(), wav));
        const std::filesystem::path raw = dir_->Path() / "speech.raw";
        std::filesystem::rename(dir_->Path() / "sox-out.raw", raw);
        // A card at 48000 Hz: the same speech as raw 32-bit floats at that rate.
        const std::filesystem::path raw48 = dir_->Path() / "speech48.f32";
        const std::string command = "sox -q '" + wav + "' -r 48000 -c 1 -e floating-point -b 32 -L -t raw '" +
                                    raw48.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        {
            std::ifstream in(raw48, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            speech48_ = new std::vector<float>(bytes.size() / 4);
            std::memcpy(speech48_->data(), bytes.data(), speech48_->size() * 4);
        }
        // The default capture device reads the raw file; its slave, the null
        // device, takes the format through a plug. card48 reads the floats.
        std::ofstream rc(dir_->Path() / ".asoundrc");
        rc << "pcm.!default {\n  type file\n  slave.pcm \"nullplug\"\n  file \"/dev/null\"\n"
           << "  infile \"" << raw.string() << "\"\n  format \"raw\"\n}\n"
           << "pcm.card48 {\n  type file\n  slave.pcm \"nullplug\"\n  file \"/dev/null\"\n"
           << "  infile \"" << raw48.string() << "\"\n  format \"raw\"\n}\n"
           << "pcm.nullplug {\n  type plug\n"
           << "  slave { pcm \"null\"; rate 8000; channels 1; format S16_LE }\n}\n";
        rc.close();
        setenv("HOME", dir_->Path().c_str(), 1);
        // Where the PulseAudio plugin is installed, libpulse keeps its runtime
        // folder under the test's folder, not as a new one in /tmp each run.
        setenv("PULSE_RUNTIME_PATH", (dir_->Path() / "pulse").c_str(), 1);
        KeepAlsaPluginsLoaded();
        unsetenv("VANTREL_CAPTURE_FILE");
        unsetenv("VANTREL_CAPTURE_DEVICE");
    }
    static void TearDownTestSuite() {
        delete speech_;
        delete speech48_;
        delete dir_;
    }

    // ALSA unloads a plugin when it closes the device; some (the a52 encoder,
    // through libavcodec) leave allocations of their libraries behind, which
    // LeakSanitizer then reports from an unknown module. Loaded for good here,
    // they stay reachable.
    static void KeepAlsaPluginsLoaded() {
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(VANTREL_TEST_ALSA_PLUGIN_DIR, ignored)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("libasound_module_pcm_") && name.ends_with(".so")) {
                dlopen(entry.path().c_str(), RTLD_LAZY | RTLD_NODELETE);
            }
        }
    }

    // Polls the device as the tick does until its position stops at length,
    // checking on every poll that the position never exceeds the buffer and
    // never goes back, and that the samples below it are the recording's.
    static void RecordToTheEnd(CaptureDevice &device, std::vector<std::int16_t> &buffer,
                               std::int32_t length) {
        std::int32_t last = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (last < length && std::chrono::steady_clock::now() < deadline) {
            std::int32_t pos = -1;
            ASSERT_EQ(device.Position(&pos), 0);
            ASSERT_GE(pos, last);
            ASSERT_LE(pos, length);
            const std::int32_t check = std::min<std::int32_t>(pos, static_cast<std::int32_t>(speech_->size()));
            for (std::int32_t i = last; i < check; ++i) {
                ASSERT_EQ(buffer[static_cast<std::size_t>(i)], (*speech_)[static_cast<std::size_t>(i)]) << i;
            }
            last = pos;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(last, length) << "the device stops at the buffer's end";
    }

    static testing::TempDir *dir_;
    static std::vector<std::int16_t> *speech_;
    static std::vector<float> *speech48_;
};

testing::TempDir *PortAudioCapture::dir_ = nullptr;
std::vector<std::int16_t> *PortAudioCapture::speech_ = nullptr;
std::vector<float> *PortAudioCapture::speech48_ = nullptr;

TEST_F(PortAudioCapture, StartingPortAudioPrintsNothing) {
    ::testing::internal::CaptureStderr();
    {
        PortAudioSession first;
        EXPECT_TRUE(first.Ok()) << first.Error();
        PortAudioSession second;
        EXPECT_TRUE(second.Ok());
    }
    PortAudioSession again;
    EXPECT_TRUE(again.Ok()) << "started again after the last session ended";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(PortAudioCapture, TheCallbackFillsTheBufferUpToItsEndAndNoFurther) {
    ASSERT_GT(speech_->size(), 8000u);
    const auto length = static_cast<std::int32_t>(speech_->size() + 4000);
    // Guard samples after the buffer's end must stay as they are.
    std::vector<std::int16_t> buffer(static_cast<std::size_t>(length) + 512, 0);
    std::fill(buffer.begin() + length, buffer.end(), std::int16_t{0x5A5A});
    PortAudioCaptureDevice device("");
    ASSERT_EQ(device.Open(buffer.data(), length), 0);
    EXPECT_EQ(device.DeviceRate(), 8000.0);
    RecordToTheEnd(device, buffer, length);
    EXPECT_EQ(device.Close(), 0);
    EXPECT_EQ(device.Close(), -1);
    for (std::size_t i = static_cast<std::size_t>(length); i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0x5A5A) << i;
    }
}

// A card that records only at its own rate: the callback converts its stream
// to 8000 Hz on the way into the buffer.
TEST_F(PortAudioCapture, ACardAt48000HzIsConvertedTo8000Hz) {
    RateConverter converter;
    ASSERT_TRUE(converter.Prepare(48000, 8000, 256));
    std::vector<std::int16_t> expected(speech48_->size() / 6 + 64);
    const std::int32_t converted = converter.Convert(speech48_->data(), speech48_->size(), expected.data(),
                                                     static_cast<std::int32_t>(expected.size()));
    ASSERT_GT(converted, 8000);
    const std::int32_t length = converted - 100;  // the converter's tail may come later
    std::vector<std::int16_t> buffer(static_cast<std::size_t>(length) + 64, 0x5A5A);
    PortAudioCaptureDevice device("card48", 48000);
    ASSERT_EQ(device.Open(buffer.data(), length), 0);
    EXPECT_EQ(device.DeviceRate(), 48000.0);
    std::int32_t pos = 0;
    for (int i = 0; i < 5000 && pos < length; ++i) {
        ASSERT_EQ(device.Position(&pos), 0);
        ASSERT_LE(pos, length);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(pos, length);
    EXPECT_EQ(device.Close(), 0);
    for (std::int32_t i = 0; i < length; ++i) {
        ASSERT_NEAR(buffer[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)], 1) << i;
    }
    for (std::size_t i = static_cast<std::size_t>(length); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0x5A5A) << i;
}

TEST_F(PortAudioCapture, CaptureDevicePicksTheInputByAPartOfItsName) {
    const auto length = static_cast<std::int32_t>(speech_->size());
    std::vector<std::int16_t> buffer(static_cast<std::size_t>(length), 0);
    setenv("VANTREL_CAPTURE_DEVICE", "efaul", 1);
    {
        auto device = MakeCaptureDevice();
        ASSERT_EQ(device->Open(buffer.data(), length), 0);
        RecordToTheEnd(*device, buffer, length);
        EXPECT_EQ(device->Close(), 0);
    }
    // The null device alone records silence.
    setenv("VANTREL_CAPTURE_DEVICE", "nullplug", 1);
    std::fill(buffer.begin(), buffer.end(), std::int16_t{99});
    {
        auto device = MakeCaptureDevice();
        ASSERT_EQ(device->Open(buffer.data(), length), 0);
        std::int32_t pos = 0;
        for (int i = 0; i < 5000 && pos < length; ++i) {
            ASSERT_EQ(device->Position(&pos), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(pos, length);
        EXPECT_EQ(device->Close(), 0);
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), std::int16_t{99}), 0);
        EXPECT_NE(buffer, *speech_);
    }
    setenv("VANTREL_CAPTURE_DEVICE", "no such card", 1);
    ::testing::internal::CaptureStderr();
    {
        auto device = MakeCaptureDevice();
        EXPECT_EQ(device->Open(buffer.data(), length), -1);
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("no such card"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    unsetenv("VANTREL_CAPTURE_DEVICE");
}

// The engine recording from PortAudio: the live frames are the offline
// analysis of the recording from sample 1 on.
TEST_F(PortAudioCapture, TheEngineAnalysesWhatTheSoundCardRecorded) {
    testing::FakeHost host;
    CaptureEngine engine(&MakeCaptureDevice);
    const auto captureMs = static_cast<std::int32_t>(speech_->size() / 8 + 500);
    ASSERT_EQ(engine.Init(&host, 10000, 8, 160, 80, captureMs), 0);
    ASSERT_EQ(engine.StartRecord(), 0);
    std::vector<float> live;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (engine.Recording() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        engine.Tick();
        std::vector<std::uint8_t> packet(512 * 4);
        while (engine.BufLen() > 0) {
            const std::int32_t before = engine.BufLen();
            const std::int32_t left = engine.GetParam(packet.data(), 512);
            for (std::int32_t i = 0; i < before - left; ++i) {
                float value;
                std::memcpy(&value, packet.data() + 12 + 4 * i, 4);
                live.push_back(value);
            }
        }
    }
    EXPECT_FALSE(engine.Recording());
    ASSERT_FALSE(host.codes.empty());
    EXPECT_EQ(host.codes.back(), kNotifyEnd);
    EXPECT_EQ(engine.StopRecord(), 0);
    // The engine's buffer holds the recording; the live analysis reached the
    // end of its last run of 11 non-zero samples (the speech ends in digital
    // silence), and its frames are the offline ones from sample 1 on.
    const std::int16_t *captured = engine.CaptureBuffer();
    ASSERT_TRUE(std::equal(speech_->begin(), speech_->end(), captured));
    std::int32_t end = 0;
    for (std::int32_t i = 0, run = 0; i < engine.CaptureLength(); ++i) {
        run = captured[i] == 0 ? 0 : run + 1;
        if (run >= 11) end = i + 1;
    }
    const int frames = (end - 161 + 79) / 80;
    ASSERT_EQ(static_cast<int>(live.size() / 9), frames);
    EXPECT_EQ(testing::Bits(live), testing::Bits(testing::ReferenceFrames(captured + 1, frames)));
}

}  // namespace
}  // namespace vantrel

#if defined(__SANITIZE_THREAD__)
// PortAudio probes every ALSA device when it starts, the PulseAudio plugin
// among them where it is installed. libpulse then runs a thread of its own
// and hands objects to it through atomics that ThreadSanitizer cannot see, as
// the library is not instrumented; its reports would be about libpulse, not
// about us.
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libpulse.so\n"
           "called_from_lib:libpulsecommon-*.so\n";
}
#endif
