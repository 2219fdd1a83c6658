// The exported C functions, called as the program calls them: through the
// shared library, with a host whose timer the test runs.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_recordings.h"
#include "vantrel.h"

namespace {

struct HostState {
    VantrelTimerProc proc = nullptr;
    uint32_t running = 0;
    uint32_t lastId = 0;
    bool failTimer = false;
    std::vector<uint32_t> killed;
    std::vector<int32_t> codes;
};
HostState g_state;

uint32_t SetTimerHook(void *context, int32_t, VantrelTimerProc proc) {
    auto *state = static_cast<HostState *>(context);
    if (state->failTimer) return 0;
    state->proc = proc;
    state->running = ++state->lastId;
    return state->running;
}
void KillTimerHook(void *context, uint32_t id) {
    auto *state = static_cast<HostState *>(context);
    state->killed.push_back(id);
    if (state->running == id) state->running = 0;
}
void PostNotifyHook(void *context, int32_t code) {
    static_cast<HostState *>(context)->codes.push_back(code);
}

const VantrelHost kHost{&g_state, &SetTimerHook, &KillTimerHook, &PostNotifyHook};

// Takes everything waiting as the program does: packets of at most 512 slots.
std::vector<float> Drain() {
    std::vector<float> floats;
    std::vector<uint8_t> packet(512 * 4);
    while (GetBufLen() > 0) {
        const int32_t size = std::min(GetBufLen() + 3, 512);
        GetParam(packet.data(), size);
        char type[4];
        int32_t number = 0, length = 0;
        GetPacketHead(packet.data(), type, &number, &length);
        EXPECT_EQ(std::string(type, 4), "DATA");
        for (int32_t i = 0; i < length / 4; ++i) {
            uint32_t bits = 0;
            for (int b = 0; b < 4; ++b) bits |= uint32_t{packet[static_cast<std::size_t>(12 + 4 * i + b)]} << (8 * b);
            floats.push_back(std::bit_cast<float>(bits));
        }
    }
    return floats;
}

class Exports : public ::testing::Test {
protected:
    void SetUp() override {
        g_state = HostState{};
        unsetenv("VANTREL_CAPTURE_FILE");
    }
    void TearDown() override {
        StopRecord();
        DeallocEnv();
        unsetenv("VANTREL_CAPTURE_FILE");
    }
};

TEST_F(Exports, OfflineUseNeedsNoHost) {
    ASSERT_EQ(InitClient(nullptr, 370, 8, 160, 80, 20000), 0);
    EXPECT_EQ(StartRecord(), -1);
    std::vector<int16_t> samples(8000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i * 7919) % 2001 - 1000);
    EXPECT_EQ(::Test(samples.data(), 8000), 0);
    EXPECT_EQ(GetBufLen(), 882);
    EXPECT_EQ(Drain().size(), 882u);
    EXPECT_EQ(GetParam(nullptr, 512), -1);
    EXPECT_EQ(StopRecord(), 0);
    EXPECT_EQ(DeallocEnv(), -1) << "no device was open";
    EXPECT_EQ(::Test(samples.data(), 8000), 0);
    EXPECT_EQ(GetBufLen(), 0) << "no buffers after DeallocEnv";
    EXPECT_EQ(StartRecord(), -1);
}

TEST_F(Exports, UnusableSettingsFailInitClient) {
    EXPECT_EQ(InitClient(&kHost, 370, 8, 160, 0, 20000), -1);
    EXPECT_EQ(StartRecord(), -1);
    EXPECT_EQ(g_state.running, 0u);
}

TEST_F(Exports, AHostWithoutTimerCannotRecord) {
    ASSERT_EQ(InitClient(&kHost, 370, 8, 160, 80, 20000), 0);
    g_state.failTimer = true;
    EXPECT_EQ(StartRecord(), -1);
}

TEST_F(Exports, AnUnreadableCaptureFileFailsStartRecordAndKillsItsTimer) {
    vantrel::testing::TempDir dir;
    const std::string missing = (dir.Path() / "no-such-recording.wav").string();
    setenv("VANTREL_CAPTURE_FILE", missing.c_str(), 1);
    ASSERT_EQ(InitClient(&kHost, 370, 8, 160, 80, 20000), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(StartRecord(), -1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(missing), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(g_state.running, 0u);
    EXPECT_EQ(g_state.killed, std::vector<uint32_t>{1});
    EXPECT_EQ(StopRecord(), 0);
}

// A recording replayed in real time through VANTREL_CAPTURE_FILE, ticked every
// 50 ms like the program's timer, until the library ends it.
TEST_F(Exports, ReplayedRecordingGivesTheFramesOfTheOfflineAnalysis) {
    vantrel::testing::TempDir dir;
    const std::string wav = vantrel::testing::Speak(dir.Path(), "jedna.wav", "jedna dva tři", 8000);
    ASSERT_FALSE(wav.empty()) << "espeak-ng or sox failed";
    const std::vector<int16_t> samples = vantrel::testing::ReadWithSox(dir.Path(), wav);
    ASSERT_GT(samples.size(), 4000u);
    setenv("VANTREL_CAPTURE_FILE", wav.c_str(), 1);

    const int32_t captureMs = static_cast<int32_t>(samples.size() / 8) + 200;
    ASSERT_EQ(InitClient(&kHost, 50, 8, 160, 80, captureMs), 0);
    ASSERT_EQ(StartRecord(), 0);
    std::vector<float> live;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(captureMs + 5000);
    while (g_state.running != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        g_state.proc();
        const auto part = Drain();
        live.insert(live.end(), part.begin(), part.end());
    }
    EXPECT_EQ(StopRecord(), 0);
    ASSERT_FALSE(g_state.codes.empty());
    EXPECT_EQ(g_state.codes.back(), VANTREL_NOTIFY_END);
    for (std::size_t i = 0; i + 1 < g_state.codes.size(); ++i) EXPECT_EQ(g_state.codes[i], VANTREL_NOTIFY_DATA);

    // The same samples offline, from index 1, with a fresh analyzer.
    ASSERT_EQ(InitClient(nullptr, 100000, 8, 160, 80, 1), 0);
    ASSERT_EQ(::Test(samples.data() + 1, static_cast<int32_t>(samples.size() - 1)), 0);
    const std::vector<float> offline = Drain();
    ASSERT_EQ(live.size() % 9, 0u);
    // The recording ends in digital silence: the live analysis reaches the
    // end of the last run of 11 non-zero samples, with the sample after the
    // frame recorded too.
    std::size_t end = 0;
    for (std::size_t i = 0, run = 0; i < samples.size(); ++i) {
        run = samples[i] == 0 ? 0 : run + 1;
        if (run >= 11) end = i + 1;
    }
    EXPECT_EQ(live.size() / 9, (end - 161 + 79) / 80);
    ASSERT_LE(live.size(), offline.size());
    EXPECT_EQ(0, std::memcmp(live.data(), offline.data(), live.size() * sizeof(float)));
}

}  // namespace
