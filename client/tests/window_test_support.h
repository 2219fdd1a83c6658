// Shared pieces of the window tests: waiting on the event loop, a peer
// server on loopback that records every byte it receives, packets framed and
// cut by the packet module with the library's exported codec, and the
// fixture that opens the window with the real library.
#pragma once

#include "packet/packet.h"
#include "window/frm_korvel.h"
#include "window/klient_socket.h"
#include "window/mdl_param.h"

#include <QByteArray>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLineEdit>
#include <QObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessary::testing {

// Runs the event loop until the condition holds or the time is up.
inline bool WaitFor(const std::function<bool()> &condition, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// Runs the event loop for the given time.
inline void Spin(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

// The server side of the connection: accepts one client at a time and
// records everything it sends.
class Peer : public QObject {
public:
    Peer() {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *next = server_.nextPendingConnection()) {
                connection_ = next;
                ++connections_;
                connect(next, &QTcpSocket::readyRead, this, [this, next] { received_ += next->readAll(); });
                connect(next, &QTcpSocket::disconnected, this, [this] { ++disconnects_; });
            }
        });
    }
    quint16 Port() const { return server_.serverPort(); }
    QTcpSocket *Connection() const { return connection_; }
    int Connections() const { return connections_; }
    int Disconnects() const { return disconnects_; }
    const QByteArray &Received() const { return received_; }
    void ClearReceived() { received_.clear(); }
    void Send(const QByteArray &bytes) {
        connection_->write(bytes);
        connection_->flush();
    }
    // Waits until at least count bytes have come in.
    bool WaitForBytes(qsizetype count, int timeoutMs = 5000) {
        return WaitFor([&] { return received_.size() >= count; }, timeoutMs);
    }

private:
    QTcpServer server_;
    QTcpSocket *connection_ = nullptr;
    int connections_ = 0;
    int disconnects_ = 0;
    QByteArray received_;
};

// Packets through the library's codec: the library must be bound (the
// window fixture binds it).
inline packet::HeadCodec Codec() {
    EXPECT_TRUE(mdlParam::Bind(nullptr));
    return mdlParam::HeadCodec();
}

// A head that announces length, whatever follows it.
inline QByteArray Head(const char *type, std::int32_t number, std::int32_t length) {
    const auto head = packet::EncodeHead(Codec(), type, number, length);
    return QByteArray(reinterpret_cast<const char *>(head.data()), static_cast<qsizetype>(head.size()));
}

inline QByteArray Packet(const char *type, std::int32_t number, const QByteArray &payload) {
    const auto bytes = packet::Encode(Codec(), type, number,
                                      std::string_view(payload.constData(), static_cast<std::size_t>(payload.size())));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

struct ReceivedPacket {
    std::string type;
    std::int32_t number = 0;
    QByteArray payload;
};

// Cuts what a peer received into packets; fails on a bad length or a torn
// tail.
inline std::vector<ReceivedPacket> Packets(const QByteArray &stream) {
    const packet::HeadCodec codec = Codec();
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(stream.constData()),
                                              static_cast<std::size_t>(stream.size()));
    std::vector<ReceivedPacket> packets;
    std::size_t pos = 0;
    while (pos + VANTREL_PACKET_HEAD_SIZE <= bytes.size()) {
        const packet::DecodedHead decoded = packet::DecodeHead(codec, bytes.subspan(pos));
        EXPECT_TRUE(decoded.Ok()) << "length " << decoded.head.length;
        const auto length = static_cast<std::size_t>(decoded.head.length);
        if (!decoded.Ok() || pos + VANTREL_PACKET_HEAD_SIZE + length > bytes.size()) break;
        packets.push_back({std::string(decoded.head.Type()), decoded.head.number,
                           stream.mid(static_cast<qsizetype>(pos + VANTREL_PACKET_HEAD_SIZE), static_cast<qsizetype>(length))});
        pos += VANTREL_PACKET_HEAD_SIZE + length;
    }
    EXPECT_EQ(pos, bytes.size()) << "a torn packet at the end";
    return packets;
}

// The window, loaded and shown, with its controls by name. The status tick
// is stopped: the tests run it by hand, one tick at a time, except where a
// test says otherwise.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(OpenWindow());
        window_->activateWindow();
        Spin(20);
    }
    void TearDown() override { window_.reset(); }

    // Loads the window, stops the tick and waits until the window shows.
    void OpenWindow() {
        window_ = std::make_unique<FrmKorvel>();
        QString error;
        ASSERT_TRUE(window_->Load(&error)) << error.toStdString();
        Timer()->stop();
        window_->show();
        ASSERT_TRUE(WaitFor([&] { return window_->isVisible(); }));
    }

    template <typename T>
    T *Control(const char *name) const {
        T *control = window_->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    QPushButton *Button(const char *name) const { return Control<QPushButton>(name); }
    QTimer *Timer() const { return window_->findChild<QTimer *>(QStringLiteral("tmrConnected")); }
    QString Log() const { return Control<QPlainTextEdit>("txtT")->toPlainText(); }
    void Tick() const { QMetaObject::invokeMethod(window_.get(), "updateConnectionStatus"); }
    int State() const { return window_->Klient()->State(); }

    // Connects through the window's own controls.
    void StartConnecting(const QString &host, const QString &port) {
        Control<QComboBox>("cboHost")->setEditText(host);
        Control<QLineEdit>("txtRemotePort")->setText(port);
        Button("cmbConnect")->click();
    }
    void ConnectTo(Peer &peer) {
        StartConnecting(QStringLiteral("127.0.0.1"), QString::number(peer.Port()));
        ASSERT_TRUE(WaitFor([&] { return State() == KlientSocket::kConnected && peer.Connection() != nullptr; }));
    }

    std::unique_ptr<FrmKorvel> window_;
};

}  // namespace tessary::testing
