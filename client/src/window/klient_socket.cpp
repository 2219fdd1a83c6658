#include "window/klient_socket.h"

#include <QTcpSocket>
#include <QTimer>

namespace tessary {

KlientSocket::KlientSocket(QObject *parent) : QObject(parent), socket_(new QTcpSocket(this)) {
    setObjectName(QStringLiteral("wKlient"));
    connect(socket_, &QTcpSocket::connected, this, [this] {
        // Small packets such as "REST" go out at once.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    });
    connect(socket_, &QTcpSocket::readyRead, this,
            [this] { emit DataArrival(socket_->bytesAvailable()); });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError) {
            peerClosed_ = true;
            return;
        }
        fail(static_cast<int>(error), socket_->errorString());
    });
}

int KlientSocket::State() const {
    if (failed_) return kError;
    switch (socket_->state()) {
    case QAbstractSocket::UnconnectedState: return peerClosed_ ? kClosing : kClosed;
    case QAbstractSocket::HostLookupState: return kResolvingHost;
    case QAbstractSocket::ConnectingState: return kConnecting;
    case QAbstractSocket::ConnectedState: return peerClosed_ ? kClosing : kConnected;
    case QAbstractSocket::BoundState: return kOpen;
    case QAbstractSocket::ListeningState: return kListening;
    case QAbstractSocket::ClosingState: return kClosing;
    }
    return kError;
}

void KlientSocket::Connect(const QString &host, qint64 port) {
    ++generation_;
    failed_ = false;
    peerClosed_ = false;
    if (port < 1 || port > 65535) {
        // Reported like any failed attempt: later, through Error.
        failed_ = true;
        const quint64 attempt = generation_;
        const QString description =
            QStringLiteral("Invalid port %1: a port is a number from 1 to 65535.").arg(port);
        QTimer::singleShot(0, this, [this, attempt, description] {
            if (attempt == generation_) emit Error(static_cast<int>(QAbstractSocket::UnknownSocketError), description);
        });
        return;
    }
    socket_->connectToHost(host, static_cast<quint16>(port));
}

void KlientSocket::Close() {
    ++generation_;
    if (socket_->state() == QAbstractSocket::ConnectedState) socket_->flush();
    socket_->abort();
    failed_ = false;
    peerClosed_ = false;
}

void KlientSocket::SendData(const QByteArray &bytes) { socket_->write(bytes); }

QByteArray KlientSocket::GetData() { return socket_->readAll(); }

void KlientSocket::fail(int number, const QString &description) {
    failed_ = true;
    emit Error(number, description);
}

}  // namespace tessary
