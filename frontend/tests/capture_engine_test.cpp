#include "core/capture_engine.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "capture_fakes.h"
#include "core/packet_head.h"

namespace vantrel {
namespace {

using testing::Bits;
using testing::FakeHost;
using testing::Noise;
using testing::ReferenceFrames;
using testing::Tape;
using testing::TapeFactory;

// Takes every waiting float out in packets of at most size slots and checks
// that the packets are "DATA" with consecutive numbers.
std::vector<float> Drain(CaptureEngine &engine, std::int32_t size = 512) {
    std::vector<float> floats;
    std::vector<std::uint8_t> packet(static_cast<std::size_t>(size) * 4);
    while (engine.BufLen() > 0) {
        const std::int32_t number = engine.PacketCounter();
        const std::int32_t before = engine.BufLen();
        const std::int32_t left = engine.GetParam(packet.data(), size);
        const PacketHead head = DecodePacketHead(packet.data());
        EXPECT_EQ(std::string(head.type.data(), 4), "DATA");
        EXPECT_EQ(head.number, number);
        EXPECT_EQ(head.length, 4 * (before - left));
        for (std::int32_t i = 0; i < head.length / 4; ++i) {
            floats.push_back(std::bit_cast<float>(LoadLittleEndian32(packet.data() + 12 + 4 * i)));
        }
    }
    return floats;
}

class CaptureEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(engine.Init(&host, 370, 8, 160, 80, 20000), 0);
    }
    void Record(std::vector<std::int16_t> samples) {
        tape.samples = std::move(samples);
        ASSERT_EQ(engine.StartRecord(), 0);
    }
    // One tick with the device at pos; returns the code it posted.
    std::int32_t TickAt(std::int32_t pos) {
        tape.position = pos;
        const std::size_t posted = host.codes.size();
        engine.Tick();
        EXPECT_EQ(host.codes.size(), posted + 1) << "every tick notifies";
        return host.codes.empty() ? 0 : host.codes.back();
    }

    Tape tape;
    FakeHost host;
    CaptureEngine engine{TapeFactory(&tape)};
};

TEST_F(CaptureEngineTest, InitSizesTheBuffersFromTheClientSettings) {
    EXPECT_EQ(engine.CaptureLength(), 160000);
    EXPECT_EQ(engine.ParamCapacity(), 3331);
    EXPECT_EQ(engine.AnalysedPos(), 1);
    EXPECT_EQ(engine.RecordedPos(), 1);
    EXPECT_EQ(engine.BufLen(), 0);
    EXPECT_EQ(engine.PacketCounter(), 0);
    EXPECT_EQ(engine.Analyzer().NumLags(), 13);
    EXPECT_EQ(engine.Analyzer().LpcOrder(), 12);
    EXPECT_EQ(engine.Analyzer().NumCep(), 8);
}

TEST_F(CaptureEngineTest, UnusableSettingsLeaveNoBuffersAndRecordingFails) {
    const std::int32_t bad[][5] = {
        {370, 8, 160, 0, 20000},     {370, 8, 1, 1, 20000},        {370, 0, 160, 80, 20000},
        {370, 8, 160, 161, 20000},   {0, 8, 160, 80, 20000},       {370, 8, 160, 80, 0},
        {370, 8, 160, 80, 300000000}, {2000000000, 2000000000, 160, 80, 20000},
    };
    for (const auto &p : bad) {
        SCOPED_TRACE(::testing::Message() << p[0] << " " << p[1] << " " << p[2] << " " << p[3]
                                          << " " << p[4]);
        EXPECT_EQ(engine.Init(&host, p[0], p[1], p[2], p[3], p[4]), -1);
        EXPECT_EQ(engine.CaptureLength(), 0);
        EXPECT_EQ(engine.ParamCapacity(), 0);
        EXPECT_EQ(engine.StartRecord(), -1);
        EXPECT_EQ(host.running, 0u);
        const auto samples = Noise(8000);
        EXPECT_EQ(engine.Test(samples.data(), 8000), 0);
        EXPECT_EQ(engine.BufLen(), 0);
    }
    // A good InitClient brings it back.
    EXPECT_EQ(engine.Init(&host, 370, 8, 160, 80, 20000), 0);
    EXPECT_EQ(engine.StartRecord(), 0);
}

TEST_F(CaptureEngineTest, WithoutHostOnlyTheOfflineSideWorks) {
    ASSERT_EQ(engine.Init(nullptr, 370, 8, 160, 80, 20000), 0);
    EXPECT_EQ(engine.StartRecord(), -1);
    EXPECT_EQ(tape.opens, 0);
    const auto samples = Noise(8000);
    EXPECT_EQ(engine.Test(samples.data(), 8000), 0);
    EXPECT_EQ(engine.BufLen(), 882);
}

TEST_F(CaptureEngineTest, StartRecordUndoesItsTimerWhenTheDeviceFails) {
    host.failTimer = true;
    EXPECT_EQ(engine.StartRecord(), -1);
    EXPECT_EQ(tape.opens, 0);
    host.failTimer = false;
    tape.openFails = true;
    EXPECT_EQ(engine.StartRecord(), -1);
    EXPECT_EQ(host.running, 0u) << "the timer set before the device must be killed again";
    EXPECT_FALSE(engine.Recording());
    EXPECT_EQ(engine.StopRecord(), 0);
}

TEST_F(CaptureEngineTest, ScanStopsAtTheEndOfTheDataActuallyWritten) {
    // The device reports 6000 while only 0..4999 are written.
    std::vector<std::int16_t> samples = Noise(5000);
    samples.resize(6000, 0);
    Record(samples);
    EXPECT_EQ(TickAt(6000), kNotifyData);
    EXPECT_EQ(engine.RecordedPos(), 5000);
    EXPECT_EQ(engine.AnalysedPos(), 1 + 61 * 80);
    ASSERT_EQ(engine.BufLen(), 61 * 9);
    // The live frames are the offline ones from sample 1 on.
    EXPECT_EQ(Bits(Drain(engine)), Bits(ReferenceFrames(samples.data() + 1, 61)));
}

TEST_F(CaptureEngineTest, ScanNeedsARunOfElevenNonZeroSamples) {
    for (const int run : {10, 11}) {
        SCOPED_TRACE(run);
        std::vector<std::int16_t> samples(3000, 0);
        for (int i = 2000; i < 2000 + run; ++i) samples[static_cast<std::size_t>(i)] = 7;
        Record(samples);
        EXPECT_EQ(TickAt(3000), kNotifyData);
        if (run == 10) {
            EXPECT_EQ(engine.RecordedPos(), 3000);
            EXPECT_EQ(engine.AnalysedPos(), 1 + 36 * 80);  // frames 1 .. 2801
        } else {
            EXPECT_EQ(engine.RecordedPos(), 2011);
            EXPECT_EQ(engine.AnalysedPos(), 1 + 24 * 80);  // frames 1 .. 1841
        }
        engine.StopRecord();
    }
}

TEST_F(CaptureEngineTest, ATickWithLessThanAShiftAnalysesNothingButNotifies) {
    Record(Noise(160000));
    EXPECT_EQ(TickAt(80), kNotifyData);  // 79 new samples since AnalysedPos 1
    EXPECT_EQ(engine.BufLen(), 0);
    EXPECT_EQ(engine.RecordedPos(), 80);
    EXPECT_EQ(TickAt(161), kNotifyData);  // enough for a shift, not for a frame
    EXPECT_EQ(engine.BufLen(), 0);
    EXPECT_EQ(TickAt(162), kNotifyData);
    EXPECT_EQ(engine.BufLen(), 9);
}

TEST_F(CaptureEngineTest, AFailingPositionQueryAnalysesNothingAndStillNotifies) {
    Record(Noise(160000));
    EXPECT_EQ(TickAt(1000), kNotifyData);
    const std::int32_t fill = engine.BufLen();
    tape.positionFails = true;
    EXPECT_EQ(TickAt(5000), kNotifyData);
    EXPECT_EQ(engine.BufLen(), fill);
    EXPECT_EQ(engine.RecordedPos(), 1000);
    EXPECT_TRUE(engine.Recording());
}

TEST_F(CaptureEngineTest, AFullParameterBufferKeepsTheFrameForTheNextTick) {
    const auto samples = Noise(160000);
    Record(samples);
    EXPECT_EQ(TickAt(40000), kNotifyDataFull);
    EXPECT_EQ(engine.BufLen(), 3330) << "370 frames, one float stays free";
    EXPECT_EQ(engine.AnalysedPos(), 1 + 370 * 80);
    std::vector<float> live = Drain(engine);
    // After the drain the frame that found no room comes first.
    EXPECT_EQ(TickAt(40000), kNotifyData);
    const std::vector<float> more = Drain(engine);
    live.insert(live.end(), more.begin(), more.end());
    const int frames = static_cast<int>(live.size() / 9);
    EXPECT_EQ(frames, (40000 - 160 - 1 + 79) / 80);
    EXPECT_EQ(Bits(live), Bits(ReferenceFrames(samples.data() + 1, frames)));
}

TEST_F(CaptureEngineTest, TheEndOfTheCaptureBufferEndsTheRecording) {
    Record(Noise(160000));
    for (std::int32_t pos = 20000; pos <= 140000; pos += 20000) {
        EXPECT_EQ(TickAt(pos), kNotifyData);
        Drain(engine);
    }
    EXPECT_EQ(TickAt(159840), kNotifyData);
    EXPECT_TRUE(engine.Recording());
    EXPECT_TRUE(tape.open);
    EXPECT_EQ(TickAt(159841), kNotifyEnd);
    EXPECT_FALSE(engine.Recording());
    EXPECT_EQ(host.running, 0u);
    EXPECT_EQ(tape.closes, 1);
    EXPECT_FALSE(tape.open);
    EXPECT_EQ(engine.AnalysedPos(), 1 + 1996 * 80) << "the ending tick analyses what was recorded";
    // The client's StopRecord after the end meets a closed device.
    EXPECT_EQ(engine.StopRecord(), 0);
    EXPECT_EQ(tape.closes, 1);
    EXPECT_EQ(engine.Dealloc(), -1) << "no device was open";
}

TEST_F(CaptureEngineTest, AnEndingTickWithAFullBufferPosts553) {
    Record(Noise(160000));
    EXPECT_EQ(TickAt(159841), kNotifyEndFull);
    EXPECT_EQ(engine.BufLen(), 3330);
    EXPECT_FALSE(engine.Recording());
}

TEST_F(CaptureEngineTest, APositionPastTheBufferIsTakenAsItsEnd) {
    Record(Noise(160000));
    EXPECT_EQ(TickAt(400000), kNotifyEndFull);
    EXPECT_EQ(engine.RecordedPos(), 160000);
    Drain(engine);
}

TEST_F(CaptureEngineTest, GetParamSplitsTheStreamIntoPackets) {
    std::vector<std::uint8_t> packet(512 * 4, 0xAB);
    const std::vector<std::uint8_t> untouched = packet;
    EXPECT_EQ(engine.GetParam(packet.data(), 512), -1) << "nothing waiting";
    EXPECT_EQ(packet, untouched);

    const auto samples = Noise(6001);
    ASSERT_EQ(engine.Test(samples.data(), 6001), 0);
    ASSERT_EQ(engine.BufLen(), 666);
    const std::vector<float> expected = ReferenceFrames(samples.data(), 74);

    EXPECT_EQ(engine.GetParam(packet.data(), 2), -1);
    EXPECT_EQ(packet, untouched) << "a size below the head writes nothing";
    EXPECT_EQ(engine.GetParam(packet.data(), 3), 666);
    EXPECT_EQ(DecodePacketHead(packet.data()).length, 0);
    EXPECT_EQ(DecodePacketHead(packet.data()).number, 0);
    EXPECT_EQ(packet[12], 0xAB);

    EXPECT_EQ(engine.GetParam(packet.data(), 512), 157);
    PacketHead head = DecodePacketHead(packet.data());
    EXPECT_EQ(head.number, 1);
    EXPECT_EQ(head.length, 2036);
    std::vector<float> stream;
    for (int i = 0; i < 509; ++i) {
        stream.push_back(std::bit_cast<float>(LoadLittleEndian32(packet.data() + 12 + 4 * i)));
    }
    EXPECT_EQ(engine.GetParam(packet.data(), 160), 0);
    head = DecodePacketHead(packet.data());
    EXPECT_EQ(head.number, 2);
    EXPECT_EQ(head.length, 628);
    for (int i = 0; i < 157; ++i) {
        stream.push_back(std::bit_cast<float>(LoadLittleEndian32(packet.data() + 12 + 4 * i)));
    }
    EXPECT_EQ(Bits(stream), Bits(expected));
    EXPECT_EQ(engine.GetParam(packet.data(), 512), -1);
    EXPECT_EQ(engine.PacketCounter(), 3);
}

TEST_F(CaptureEngineTest, TestCountsFramesAsTheLiveLoopDoes) {
    const auto samples = Noise(8000);
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {79, 0}, {160, 0}, {161, 1}, {240, 1}, {241, 2}, {8000, 98}};
    for (const auto &[count, frames] : cases) {
        SCOPED_TRACE(count);
        EXPECT_EQ(engine.Test(samples.data(), count), 0);
        EXPECT_EQ(engine.BufLen(), frames * 9);
        EXPECT_EQ(engine.RecordedPos(), count);
        EXPECT_EQ(engine.AnalysedPos(), frames * 80);
    }
    // The last run's first frame used the PrevSample that the run of 241
    // samples left: its second frame's sample 79.
    const float prev = samples[159];
    EXPECT_EQ(Bits(Drain(engine)), Bits(ReferenceFrames(samples.data(), 98, prev)));
}

TEST_F(CaptureEngineTest, TestStopsAtTheFirstFrameWithoutRoom) {
    const auto samples = Noise(160000);
    EXPECT_EQ(engine.Test(samples.data(), 160000), 0);
    EXPECT_EQ(engine.BufLen(), 3330);
    EXPECT_EQ(engine.AnalysedPos(), 370 * 80);
}

TEST_F(CaptureEngineTest, TestAfterARecordingKeepsTheCounterAndThePrevSample) {
    const auto recorded = Noise(160000, 7);
    Record(recorded);
    EXPECT_EQ(TickAt(4000), kNotifyData);
    ASSERT_GT(engine.BufLen(), 0);
    std::vector<std::uint8_t> packet(512 * 4);
    engine.GetParam(packet.data(), 20);  // some floats stay waiting
    ASSERT_GT(engine.BufLen(), 0);
    EXPECT_EQ(engine.StopRecord(), 0);
    const float left = engine.Analyzer().PrevSample();
    ASSERT_NE(left, 0.0f);

    const auto samples = Noise(1000, 8);
    EXPECT_EQ(engine.Test(samples.data(), 1000), 0);
    EXPECT_EQ(engine.BufLen(), 11 * 9) << "the frames still waiting are discarded";
    EXPECT_EQ(engine.PacketCounter(), 1);
    const auto live = Drain(engine);
    EXPECT_EQ(Bits(live), Bits(ReferenceFrames(samples.data(), 11, left)));
    EXPECT_NE(Bits(live), Bits(ReferenceFrames(samples.data(), 11, 0.0f)));
    EXPECT_EQ(engine.PacketCounter(), 2);
}

TEST_F(CaptureEngineTest, StartRecordDiscardsWaitingFramesAndZeroesTheBuffer) {
    Record(Noise(160000));
    EXPECT_EQ(TickAt(3000), kNotifyData);
    EXPECT_GT(engine.BufLen(), 0);
    engine.StopRecord();
    Record({});
    EXPECT_EQ(engine.BufLen(), 0);
    EXPECT_EQ(engine.AnalysedPos(), 1);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(engine.CaptureBuffer()[i], 0) << i;
}

// A host that runs a nested event loop inside the tick (here: from its
// notification) must find the tick turned away, posting nothing.
TEST(CaptureEngineReentry, ATickEnteredWhileRunningReturnsAtOnce) {
    class NestingHost final : public CaptureHost {
    public:
        std::uint32_t SetTimer(std::int32_t) override { return 1; }
        void KillTimer(std::uint32_t) override {}
        void PostNotify(std::int32_t code) override {
            codes.push_back(code);
            if (engine != nullptr && codes.size() == 1) engine->Tick();
        }
        CaptureEngine *engine = nullptr;
        std::vector<std::int32_t> codes;
    } host;
    Tape tape;
    tape.samples = Noise(160000);
    CaptureEngine engine(TapeFactory(&tape));
    host.engine = &engine;
    ASSERT_EQ(engine.Init(&host, 370, 8, 160, 80, 20000), 0);
    ASSERT_EQ(engine.StartRecord(), 0);
    tape.position = 3000;
    engine.Tick();
    EXPECT_EQ(host.codes, std::vector<std::int32_t>{kNotifyData});
    tape.position = 6000;
    engine.Tick();  // the guard was released after the first tick
    EXPECT_EQ(host.codes.size(), 2u);
    EXPECT_EQ(engine.AnalysedPos(), 1 + 73 * 80);
}

// Feeding the recording in random steps, draining in random packet sizes,
// gives the frames of one offline pass over the same samples from index 1.
TEST_F(CaptureEngineTest, RandomStepsGiveTheFramesOfOneOfflinePass) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        // Speech with stretches of digital silence, which the scan must cross.
        std::vector<std::int16_t> samples = Noise(160000, seed);
        std::uniform_int_distribution<int> where(0, 159000), gap(1, 900);
        for (int g = 0; g < 30; ++g) {
            const int start = where(random);
            std::fill_n(samples.begin() + start, gap(random), std::int16_t{0});
        }
        ASSERT_EQ(engine.Init(&host, 370, 8, 160, 80, 20000), 0);
        Record(samples);
        std::uniform_int_distribution<int> step(0, 9000), packet(4, 600);
        std::vector<float> live;
        std::int32_t pos = 0;
        while (engine.Recording()) {
            pos += step(random);
            TickAt(pos);
            while (engine.BufLen() > 0) {
                const auto part = Drain(engine, packet(random));
                live.insert(live.end(), part.begin(), part.end());
            }
        }
        EXPECT_EQ(host.codes.back(), kNotifyEnd);
        ASSERT_EQ(live.size() % 9, 0u);
        const int frames = static_cast<int>(live.size() / 9);
        EXPECT_GE(frames, 1990);
        EXPECT_EQ(Bits(live), Bits(ReferenceFrames(samples.data() + 1, frames)));
    }
}

}  // namespace
}  // namespace vantrel
