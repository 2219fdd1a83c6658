// Connection management and the server commands, against a real peer on
// loopback: the status tick, the greeting, the two arrangements, socket
// errors, and the exact bytes of the four command buttons.
#include "window/frm_korvel.h"
#include "window/host_record.h"
#include "window/klient_socket.h"
#include "window/mdl_param.h"
#include "window_test_support.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

namespace tessary {
namespace {

using testing::Head;
using testing::Packet;
using testing::Peer;
using testing::Spin;
using testing::WaitFor;

class ConnectionTest : public testing::WindowFixture {
protected:
    // Which of the two arrangements the window shows.
    void ExpectConnectedArrangement(bool connected) const {
        EXPECT_EQ(Button("cmbDisConnect")->isVisible(), connected);
        EXPECT_EQ(Button("cmbConnect")->isEnabled(), !connected);
        for (const char *name : {"cmbAddW", "cmbBest", "cmbPing", "cmbSlov", "cmbStart"}) {
            EXPECT_EQ(Button(name)->isEnabled(), connected) << name;
        }
        EXPECT_EQ(Control<QComboBox>("cboHost")->isEnabled(), !connected);
        EXPECT_EQ(Control<QLineEdit>("txtRemotePort")->isEnabled(), !connected);
        const QColor clock = Control<QLabel>("lblConnected")->palette().color(QPalette::WindowText);
        EXPECT_EQ(clock, connected ? QColor(Qt::red) : QColor(Qt::black));
    }
};

TEST_F(ConnectionTest, FirstTickGreetsOnceAndSwitchesTheWindow) {
    Peer peer;
    ConnectTo(peer);
    Spin(20);
    EXPECT_TRUE(peer.Received().isEmpty());  // the connect action itself sends nothing
    ExpectConnectedArrangement(false);       // the window follows only at the tick

    Tick();
    const QByteArray greeting = Packet("NEWS", 0, "news_demo");
    ASSERT_EQ(greeting.size(), 21);
    ASSERT_TRUE(peer.WaitForBytes(21));
    ExpectConnectedArrangement(true);
    EXPECT_TRUE(Button("cmbStart")->hasFocus());
    EXPECT_TRUE(window_->WasConnected());
    // Small packets such as "REST" must not wait behind Nagle's algorithm.
    QTcpSocket *socket = window_->Klient()->findChild<QTcpSocket *>();
    ASSERT_NE(socket, nullptr);
    EXPECT_EQ(socket->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
    Tick();
    Tick();
    Spin(50);
    EXPECT_EQ(peer.Received(), greeting);  // once per connection
    EXPECT_TRUE(Log().isEmpty());
}

TEST_F(ConnectionTest, CleanCloseByTheServerIsNoErrorAndReconnectingGreetsAgain) {
    Peer peer;
    ConnectTo(peer);
    Tick();
    ASSERT_TRUE(peer.WaitForBytes(21));
    peer.Connection()->disconnectFromHost();
    ASSERT_TRUE(WaitFor([&] { return State() != KlientSocket::kConnected; }));
    Spin(50);
    EXPECT_TRUE(Log().isEmpty());
    Tick();
    ExpectConnectedArrangement(false);
    EXPECT_TRUE(Button("cmbConnect")->hasFocus());
    EXPECT_FALSE(window_->WasConnected());

    peer.ClearReceived();
    ConnectTo(peer);  // closes the peer-closed socket first
    Tick();
    ASSERT_TRUE(peer.WaitForBytes(21));
    EXPECT_EQ(peer.Received(), Packet("NEWS", 0, "news_demo"));
    ExpectConnectedArrangement(true);
}

TEST_F(ConnectionTest, DisconnectStopsTheRecordingButSendsNoRest) {
    Peer peer;
    ConnectTo(peer);
    Tick();
    ASSERT_TRUE(peer.WaitForBytes(21));
    peer.ClearReceived();
    Button("cmbDisConnect")->click();
    EXPECT_EQ(State(), KlientSocket::kClosed);
    EXPECT_EQ(Log(), QStringLiteral("0\n"));  // StopRecord's result
    EXPECT_TRUE(Button("cmbStart")->isEnabled());
    EXPECT_FALSE(Button("cmbStop")->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return peer.Disconnects() == 1; }));
    EXPECT_TRUE(peer.Received().isEmpty());
    Tick();  // the next tick disables the start button again
    ExpectConnectedArrangement(false);
    EXPECT_FALSE(Button("cmbStop")->isEnabled());
}

TEST_F(ConnectionTest, FailedAttemptsEndInAnEntryAtTheBottom) {
    Control<QPlainTextEdit>("txtT")->setPlainText(QStringLiteral("top"));
    // Nobody listens on this port.
    quint16 closedPort = 0;
    {
        Peer gone;
        closedPort = gone.Port();
    }
    struct Attempt {
        QString host;
        QString port;
        QString says;
    };
    const Attempt attempts[] = {
        {QStringLiteral("127.0.0.1"), QString(), QStringLiteral("Invalid port 0")},
        {QStringLiteral("127.0.0.1"), QStringLiteral("70000"), QStringLiteral("Invalid port 70000")},
        {QStringLiteral("127.0.0.1"), QStringLiteral("99999999999"), QStringLiteral("Invalid port 99999999999")},
        {QStringLiteral("127.0.0.1"), QString::number(closedPort), QStringLiteral("refused")},
        {QStringLiteral("no.such.host.invalid"), QStringLiteral("105"), QString()},
    };
    int entries = 0;
    for (const Attempt &a : attempts) {
        StartConnecting(a.host, a.port);
        ++entries;
        ASSERT_TRUE(WaitFor([&] { return Log().count(QLatin1Char('\n')) == entries; }, 30000)) << a.port.toStdString();
        EXPECT_TRUE(Log().section(QLatin1Char('\n'), -1).contains(a.says, Qt::CaseInsensitive))
            << Log().toStdString();
        EXPECT_TRUE(Log().startsWith(QStringLiteral("top\n")));
        EXPECT_EQ(State(), KlientSocket::kClosed);  // the error handler closed it
        Tick();
        ExpectConnectedArrangement(false);
    }
}

TEST_F(ConnectionTest, PortIsTheNumberAtTheStartOfTheBox) {
    Peer peer;
    const QString port = QString::number(peer.Port());
    StartConnecting(QStringLiteral("127.0.0.1"), QStringLiteral(" %1 %2.4x9").arg(port.left(2), port.mid(2)));
    ASSERT_TRUE(WaitFor([&] { return peer.Connections() == 1 && State() == KlientSocket::kConnected; }));
    // Pressing connect again drops the connection and opens a new one.
    StartConnecting(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(WaitFor([&] { return peer.Connections() == 2 && peer.Disconnects() == 1; }));
    EXPECT_TRUE(Log().isEmpty());
}

TEST_F(ConnectionTest, ClockTicksEverySecond) {
    EXPECT_EQ(Control<QLabel>("lblConnected")->text(), QStringLiteral("000"));
    Timer()->start();
    ASSERT_TRUE(WaitFor([&] { return Control<QLabel>("lblConnected")->text() != QStringLiteral("000"); }, 3000));
    const QString clock = Control<QLabel>("lblConnected")->text();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("\\d{1,2}\\D\\d{2}\\D\\d{2}")).match(clock).hasMatch())
        << clock.toStdString();
}

// ---- Server commands -------------------------------------------------------------------------

TEST_F(ConnectionTest, CommandButtonsSendTheirExactBytes) {
    Peer peer;
    ConnectTo(peer);
    Tick();
    ASSERT_TRUE(peer.WaitForBytes(21));
    peer.ClearReceived();

    const int32_t before = mdlParam::GetTickCount();
    Button("cmbPing")->click();
    const int32_t after = mdlParam::GetTickCount();
    Button("cmbSlov")->click();
    Button("cmbBest")->click();
    Button("cmbAddW")->click();  // "chaloupka"
    auto *word = Control<QLineEdit>("txtAddWord");
    word->setText(QStringLiteral("abcdefghijklmnopqrstuvwxy"));  // 25 characters
    Button("cmbAddW")->click();
    EXPECT_EQ(word->text(), QStringLiteral("abcdefghijklmnopqrst"));
    word->setText(QStringLiteral("žluťoučký kůň úpělďá"));  // exactly 20
    Button("cmbAddW")->click();
    EXPECT_EQ(word->text(), QStringLiteral("žluťoučký kůň úpělďá"));
    word->clear();
    Button("cmbAddW")->click();

    const QByteArray rest = Packet("GETV", 0, "") + Packet("GETB", 0, "5") + Packet("ADDW", 0, "chaloupka") +
                            Packet("ADDW", 0, "abcdefghijklmnopqrst") +
                            Packet("ADDW", 0, "\x9Elu\x9Do\x75\xE8k\xFD k\xF9\xF2 \xFAp\xECl\xEF\xE1") +
                            Packet("ADDW", 0, "");
    ASSERT_TRUE(peer.WaitForBytes(12 + rest.size() + 1));
    Spin(30);
    const QByteArray got = peer.Received();
    ASSERT_TRUE(got.startsWith(QByteArray("PING\0\0\0\0", 8)));
    const int length = packet::DecodeHead(testing::Codec(), std::span(reinterpret_cast<const std::uint8_t *>(got.constData()),
                                                                      static_cast<std::size_t>(got.size())))
                           .head.length;
    const QByteArray ticks = got.mid(12, length);
    const int32_t tick = ticks.toInt();
    EXPECT_EQ(QByteArray::number(tick), ticks);
    EXPECT_GE(static_cast<int32_t>(static_cast<uint32_t>(tick) - static_cast<uint32_t>(before)), 0);
    EXPECT_LE(static_cast<int32_t>(static_cast<uint32_t>(tick) - static_cast<uint32_t>(after)), 0);
    EXPECT_EQ(got.mid(12 + length), rest);
}

TEST_F(ConnectionTest, PongFromTheServerGivesOneRoundTripLine) {
    Peer peer;
    ConnectTo(peer);
    Tick();
    ASSERT_TRUE(peer.WaitForBytes(21));
    peer.ClearReceived();
    Button("cmbPing")->click();
    ASSERT_TRUE(peer.WaitForBytes(13));
    // The server echoes the ping's text as a "PONG".
    const QByteArray ping = peer.Received();
    QByteArray pong = ping;
    pong.replace(0, 4, "PONG");
    peer.Send(pong);
    ASSERT_TRUE(WaitFor([&] { return !Log().isEmpty(); }));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^NET RESPONSE> \\d+ms\\.\n$")).match(Log()).hasMatch())
        << Log().toStdString();
}

// ---- Draining the library -------------------------------------------------------------------

class DrainTest : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        ConnectTo(peer_);
        Tick();
        ASSERT_TRUE(peer_.WaitForBytes(21));
        peer_.ClearReceived();
    }
    // Puts exactly frames analysed frames (9 floats each) in the library.
    static void Analyse(int frames) {
        std::vector<int16_t> samples(static_cast<std::size_t>(160 + 80 * frames));
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i * 7919) % 2001 - 1000);
        ASSERT_EQ(mdlParam::Test(samples.data(), static_cast<int32_t>(samples.size())), 0);
        ASSERT_EQ(mdlParam::GetBufLen(), 9 * frames);
    }
    // Sizes of the DATA packets received, in order.
    std::vector<qsizetype> DataSizes() const {
        std::vector<qsizetype> sizes;
        for (const auto &p : testing::Packets(peer_.Received())) {
            if (p.type == "DATA") sizes.push_back(static_cast<qsizetype>(VANTREL_PACKET_HEAD_SIZE) + p.payload.size());
        }
        return sizes;
    }
    Peer peer_;
};

TEST_F(DrainTest, OneNotificationTakesEverythingInPacketsOfAtMost2048Bytes) {
    struct Case {
        int frames;
        std::vector<qsizetype> sizes;
    };
    const Case cases[] = {
        {37, {1344}},        // 333 floats
        {56, {2028}},        // 504 floats: units 507
        {57, {2048, 28}},    // 513 floats: units 512, the second packet ends the frame
        {111, {2048, 1972}}, // 999 floats
        {0, {}},             // nothing waiting: nothing sent, bufData left alone
    };
    for (const Case &c : cases) {
        peer_.ClearReceived();
        if (c.frames > 0) {
            Analyse(c.frames);
        } else {
            ASSERT_EQ(mdlParam::GetBufLen(), 0);
        }
        const std::size_t bufferBefore = window_->BufData().size();
        QCoreApplication::postEvent(window_.get(), new NotificationEvent(VANTREL_NOTIFY_DATA));
        qsizetype total = 0;
        for (qsizetype size : c.sizes) total += size;
        ASSERT_TRUE(peer_.WaitForBytes(total));
        Spin(30);
        EXPECT_EQ(DataSizes(), c.sizes) << c.frames << " frames";
        EXPECT_EQ(peer_.Received().size(), total);
        EXPECT_EQ(mdlParam::GetBufLen(), 0);
        if (c.frames > 0) {
            EXPECT_EQ(window_->BufData().size(), static_cast<std::size_t>(std::min(9 * c.frames + 3, 512) * 4));
        } else {
            EXPECT_EQ(window_->BufData().size(), bufferBefore);
        }
    }
}

TEST_F(DrainTest, StopSendsTheWaitingNotificationsPacketsBeforeRest) {
    Analyse(37);
    QCoreApplication::postEvent(window_.get(), new NotificationEvent(VANTREL_NOTIFY_DATA));
    Button("cmbStop")->setEnabled(true);
    Button("cmbStop")->click();  // before the event loop has seen the notification
    const QByteArray rest("REST\0\0\0\0\2\0\0\0\r\n", 14);
    ASSERT_TRUE(peer_.WaitForBytes(1344 + 14));
    Spin(30);
    EXPECT_EQ(DataSizes(), std::vector<qsizetype>{1344});
    EXPECT_TRUE(peer_.Received().endsWith(rest));
    EXPECT_EQ(peer_.Received().size(), 1344 + 14);

    // A waiting end code runs a second stop action inside the first: two "REST".
    peer_.ClearReceived();
    QCoreApplication::postEvent(window_.get(), new NotificationEvent(VANTREL_NOTIFY_END));
    Button("cmbStop")->setEnabled(true);
    Button("cmbStop")->click();
    ASSERT_TRUE(peer_.WaitForBytes(28));
    Spin(30);
    EXPECT_EQ(peer_.Received(), rest + rest);
}

TEST_F(DrainTest, ParametersTakenWhileDisconnectedAreDropped) {
    Button("cmbDisConnect")->click();
    ASSERT_TRUE(WaitFor([&] { return peer_.Disconnects() == 1; }));
    peer_.ClearReceived();
    Analyse(111);
    QCoreApplication::postEvent(window_.get(), new NotificationEvent(VANTREL_NOTIFY_DATA));
    Spin(100);
    EXPECT_EQ(mdlParam::GetBufLen(), 0);  // taken from the library all the same
    EXPECT_EQ(State(), KlientSocket::kClosed);
    EXPECT_TRUE(peer_.Received().isEmpty());
}

}  // namespace
}  // namespace tessary
