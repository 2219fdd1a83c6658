// wKlient: the window's TCP client socket, a small face over QTcpSocket that
// offers what the program uses and nothing more.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

namespace tessary {

class KlientSocket : public QObject {
    Q_OBJECT

public:
    // The values of State().
    enum : int {
        kClosed = 0,
        kOpen = 1,
        kListening = 2,
        kResolvingHost = 4,
        kConnecting = 6,
        kConnected = 7,
        kClosing = 8,  // closing, or closed by the peer and not yet closed here
        kError = 9,
    };

    explicit KlientSocket(QObject *parent = nullptr);

    int State() const;
    // Starts connecting and returns at once; the outcome shows later in State()
    // or through Error. A port outside 1 to 65535 fails through Error too.
    void Connect(const QString &host, qint64 port);
    // Closes at once (bytes already given to SendData are flushed first as far
    // as the system takes them) and returns to State() 0.
    void Close();
    // Queues all bytes for sending, in order, as one piece of the stream.
    void SendData(const QByteArray &bytes);
    // All bytes received and not yet taken.
    QByteArray GetData();

signals:
    void DataArrival(qint64 bytesTotal);
    // A failed connect or a broken connection; State() is then 9. A connection
    // that the peer closes cleanly is not an error: State() becomes 8.
    void Error(int number, const QString &description);

private:
    void fail(int number, const QString &description);

    QTcpSocket *socket_;
    bool failed_ = false;
    bool peerClosed_ = false;
    quint64 generation_ = 0;  // counts Connect and Close; a late failure of an old attempt is dropped
};

}  // namespace tessary
