// Utterances end to end: the window with the real library, whose replay
// device plays a speech recording (VANTREL_CAPTURE_FILE) in real time, and a
// peer on loopback that records every byte. Built twice: the slow program
// holds only the 20-second end of capture.
#include "window/frm_korvel.h"
#include "window/klient_socket.h"
#include "window/mdl_param.h"
#include "window_test_support.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <sndfile.h>

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

namespace tessary {
namespace {

using testing::Peer;
using testing::Spin;
using testing::WaitFor;

using testing::Packets;
using testing::ReceivedPacket;

int32_t Int32At(const QByteArray &bytes, qsizetype at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return static_cast<int32_t>(value);
}

[[maybe_unused]] std::vector<int16_t> ReadRecording(const char *path) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path, SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr) return {};
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    std::vector<int16_t> samples(static_cast<std::size_t>(info.frames));
    EXPECT_EQ(sf_read_short(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

class SessionTest : public testing::WindowFixture {
protected:
    void SetUp() override {
        qputenv("VANTREL_CAPTURE_FILE", recording());
        ASSERT_NO_FATAL_FAILURE(OpenWindow());
        ASSERT_NO_FATAL_FAILURE(ConnectTo(peer_));
        Tick();
        ASSERT_TRUE(peer_.WaitForBytes(21));  // the greeting
        peer_.ClearReceived();
    }
    void TearDown() override {
        WindowFixture::TearDown();
        qunsetenv("VANTREL_CAPTURE_FILE");
    }
    virtual const char *recording() const { return TESSARY_SPEECH_WAV; }

    // Checks the utterance's packets (SRCG, DATA with consecutive numbers,
    // REST when expected) and returns the floats of the DATA packets in order.
    std::vector<float> CheckUtterance(const std::vector<ReceivedPacket> &packets, bool rest) {
        std::vector<float> floats;
        EXPECT_FALSE(packets.empty());
        if (packets.empty()) return floats;
        EXPECT_EQ(packets.front().type, "SRCG");
        EXPECT_TRUE(packets.front().payload.isEmpty());
        const std::size_t end = packets.size() - (rest ? 1 : 0);
        if (rest) {
            EXPECT_EQ(packets.back().type, "REST");
            EXPECT_EQ(packets.back().payload, QByteArray("\r\n"));
        }
        for (std::size_t i = 1; i < end; ++i) {
            const ReceivedPacket &p = packets[i];
            EXPECT_EQ(p.type, "DATA") << i;
            EXPECT_EQ(p.number, packets[1].number + static_cast<int32_t>(i - 1)) << "DATA numbers run on";
            EXPECT_EQ(p.payload.size() % 4, 0);
            EXPECT_GT(p.payload.size(), 0);
            EXPECT_LE(p.payload.size(), 509 * 4);
            for (qsizetype at = 0; at + 4 <= p.payload.size(); at += 4) {
                floats.push_back(std::bit_cast<float>(static_cast<uint32_t>(Int32At(p.payload, at))));
            }
        }
        return floats;
    }

    Peer peer_;
};

#ifndef TESSARY_SLOW_SESSION

TEST_F(SessionTest, OneUtteranceStreamsExactlyTheOfflineAnalysis) {
    Button("cmbStart")->click();
    EXPECT_EQ(Log(), QStringLiteral("0\n"));  // StartRecord's result
    EXPECT_TRUE(Button("cmbStop")->isEnabled());
    EXPECT_FALSE(Button("cmbStart")->isEnabled());
    Spin(3700);  // the recording lasts 3.2 s
    Button("cmbStop")->click();
    EXPECT_EQ(Log(), QStringLiteral("0\n0\n"));
    EXPECT_TRUE(Button("cmbStart")->isEnabled());
    EXPECT_FALSE(Button("cmbStop")->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return peer_.Received().endsWith(QByteArray("REST\0\0\0\0\2\0\0\0\r\n", 14)); }));
    Spin(50);
    const std::vector<float> live = CheckUtterance(Packets(peer_.Received()), true);
    ASSERT_GE(live.size(), 9u * 250) << "at least 2.5 s of frames";
    EXPECT_EQ(live.size() % 9, 0u);

    // The library's offline analysis of the same recording from its second
    // sample on, with the same settings.
    const std::vector<int16_t> samples = ReadRecording(TESSARY_SPEECH_WAV);
    ASSERT_GT(samples.size(), 20000u);
    ASSERT_EQ(mdlParam::Bind(nullptr), true);
    ASSERT_EQ(mdlParam::InitClient(nullptr, FrmKorvel::kTimerPeriodMs, FrmKorvel::kCepstra, FrmKorvel::kWindowLength,
                                   FrmKorvel::kFrameShift, FrmKorvel::kCaptureMs),
              0);
    ASSERT_EQ(mdlParam::Test(samples.data() + 1, static_cast<int32_t>(samples.size() - 1)), 0);
    std::vector<float> offline;
    std::vector<uint8_t> packet(FrmKorvel::kParamSlots * 4);
    while (mdlParam::GetBufLen() > 0) {
        ASSERT_GE(mdlParam::GetParam(packet.data(), FrmKorvel::kParamSlots), 0);
        const int32_t length = packet::DecodeHead(testing::Codec(), packet).head.length;
        for (int32_t at = 0; at < length; at += 4) {
            float value;
            std::memcpy(&value, packet.data() + VANTREL_PACKET_HEAD_SIZE + at, 4);
            offline.push_back(value);
        }
    }
    ASSERT_GE(offline.size(), live.size());
    // Nothing lost, nothing repeated, nothing reordered: float for float.
    EXPECT_EQ(std::memcmp(live.data(), offline.data(), live.size() * sizeof(float)), 0);
    for (std::size_t i = 0; i < live.size(); ++i) {
        if (std::bit_cast<uint32_t>(live[i]) != std::bit_cast<uint32_t>(offline[i])) {
            ADD_FAILURE() << "first difference at float " << i << ": " << live[i] << " != " << offline[i];
            break;
        }
    }
}

TEST_F(SessionTest, StopBeforeTheFirstTickSendsOnlyTheBrackets) {
    Button("cmbStart")->click();
    Button("cmbStop")->click();
    ASSERT_TRUE(peer_.WaitForBytes(26));
    Spin(900);  // a tick would have come by now
    EXPECT_EQ(peer_.Received(), QByteArray("SRCG\0\0\0\0\0\0\0\0REST\0\0\0\0\2\0\0\0\r\n", 26));
    EXPECT_EQ(Log(), QStringLiteral("0\n0\n"));
}

TEST_F(SessionTest, DisconnectWhileRecordingStopsItWithoutRest) {
    Button("cmbStart")->click();
    ASSERT_TRUE(WaitFor([&] { return peer_.Received().contains("DATA"); }, 3000));
    Button("cmbDisConnect")->click();
    EXPECT_EQ(Log(), QStringLiteral("0\n0\n"));
    EXPECT_FALSE(Button("cmbStop")->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return peer_.Disconnects() == 1; }));
    Spin(900);  // the capture tick no longer runs: no notification, nothing sent
    const std::vector<float> floats = CheckUtterance(Packets(peer_.Received()), false);
    EXPECT_FALSE(floats.empty());
    EXPECT_EQ(mdlParam::GetBufLen(), 0);
    Tick();
    EXPECT_FALSE(Button("cmbStart")->isEnabled());
}

// Regression: a recording outlived its lost connection, and the next
// connection received the rest of the utterance as "DATA" without "SRCG".
TEST_F(SessionTest, LostConnectionStopsTheRecordingAndTheNextOneHearsNothingUntilStart) {
    Button("cmbStart")->click();
    ASSERT_TRUE(WaitFor([&] { return peer_.Received().contains("DATA"); }, 3000));
    peer_.Connection()->abort();
    ASSERT_TRUE(WaitFor([&] { return State() != KlientSocket::kConnected; }));
    Tick();  // sees the connection gone: the stop action runs
    EXPECT_FALSE(Button("cmbStop")->isEnabled());
    EXPECT_FALSE(Button("cmbStart")->isEnabled());
    EXPECT_TRUE(Log().startsWith(QStringLiteral("0\n0\n")));  // StartRecord's, then StopRecord's result
    EXPECT_EQ(mdlParam::GetBufLen(), 0);

    peer_.ClearReceived();
    ASSERT_NO_FATAL_FAILURE(ConnectTo(peer_));
    Tick();
    Spin(1200);  // more than three capture ticks
    EXPECT_EQ(peer_.Received(), testing::Packet("NEWS", 0, "news_demo")) << "only the greeting";
    ASSERT_TRUE(Button("cmbStart")->isEnabled());

    peer_.ClearReceived();
    Button("cmbStart")->click();
    ASSERT_TRUE(WaitFor([&] { return peer_.Received().contains("DATA"); }, 3000));
    Button("cmbStop")->click();
    ASSERT_TRUE(WaitFor([&] { return peer_.Received().endsWith(QByteArray("REST\0\0\0\0\2\0\0\0\r\n", 14)); }));
    Spin(50);
    CheckUtterance(Packets(peer_.Received()), true);  // "SRCG" first
}

TEST_F(SessionTest, ClosingTheWindowWhileRecordingStopsBeforeReleasing) {
    Button("cmbStart")->click();
    ASSERT_TRUE(WaitFor([&] { return peer_.Received().contains("DATA"); }, 3000));
    window_->close();  // StopRecord, then DeallocEnv
    EXPECT_EQ(mdlParam::GetBufLen(), 0);
    const qsizetype sent = peer_.Received().size();
    Spin(900);  // no capture tick runs on the released buffers
    EXPECT_EQ(peer_.Received().size(), sent);
    EXPECT_EQ(mdlParam::StartRecord(), -1);  // released: nothing to record into
}

#else

class LongSessionTest : public SessionTest {
protected:
    const char *recording() const override { return TESSARY_LONG_SPEECH_WAV; }
};

TEST_F(LongSessionTest, CaptureEndsByItselfAfterTwentySeconds) {
    Button("cmbStart")->click();
    // Code 551 runs the stop action: the buttons switch back and "REST" goes out.
    ASSERT_TRUE(WaitFor([&] { return Button("cmbStart")->isEnabled(); }, 25000));
    EXPECT_FALSE(Button("cmbStop")->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return peer_.Received().endsWith(QByteArray("REST\0\0\0\0\2\0\0\0\r\n", 14)); }));
    Spin(50);
    const std::vector<float> floats = CheckUtterance(Packets(peer_.Received()), true);
    // About 20 s at 100 frames a second, less the last tick's frames.
    EXPECT_GE(floats.size(), 9u * 1900);
    EXPECT_LE(floats.size(), 9u * 2000);
    EXPECT_EQ(Log(), QStringLiteral("0\n0\n"));
}

#endif

}  // namespace
}  // namespace tessary
