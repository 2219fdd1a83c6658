// How long the window stays unanswering when the server sends one long
// message, and what memory the message keeps. For each size given (bytes;
// default 128 KiB, 1 MiB and 8 MiB) a fresh window, connected to a peer on
// loopback, receives one "UMSG" of that many bytes without a line break,
// then one of 6 bytes; after each, the time until the window has shown it and
// answers a "PING" is printed, in wall time and in processor time of the
// window's thread (the figure to compare on a busy machine). Then the log is cleared as a user would
// (select all, Delete) and the memory in use is printed. Runs on Qt's
// offscreen platform unless the environment names another.
#include "window/frm_korvel.h"
#include "window_test_support.h"
#include "window/klient_socket.h"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

using tessary::testing::Packet;
using tessary::testing::WaitFor;

using tessary::FrmKorvel;
using tessary::KlientSocket;

// Resident memory of this process, in MiB.
double ResidentMiB() {
    std::FILE *file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return -1;
    long pages = 0;
    long resident = 0;
    const int read = std::fscanf(file, "%ld %ld", &pages, &resident);
    std::fclose(file);
    return read == 2 ? static_cast<double>(resident) * 4096 / (1024.0 * 1024.0) : -1;
}

// Processor time used by the calling thread, in ms.
qint64 ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Cost {
    qint64 wallMs = -1;
    qint64 cpuMs = -1;
};

// One line of printable text, no line break.
QByteArray LongLine(qsizetype bytes) {
    QByteArray line(bytes, 'a');
    for (qsizetype i = 0; i < bytes; ++i) line[i] = static_cast<char>('a' + (i * 7) % 26);
    return line;
}

struct Peer {
    QTcpServer server;
    QTcpSocket *connection = nullptr;
    QByteArray received;
};

// Sends one "UMSG", waits until the window has handled and painted it, then
// until it answers a "PING"; the time from sending to the answer.
Cost Answered(Peer &peer, FrmKorvel &window, QPlainTextEdit &log, const QByteArray &text, int timeoutMs) {
    static int pings = 0;
    const QByteArray ping = "p" + QByteArray::number(++pings);
    const QByteArray pong = Packet("PONG", 0, ping);
    QElapsedTimer timer;
    timer.start();
    const qint64 cpuStart = ThreadCpuMs();
    peer.connection->write(Packet("UMSG", 0, text));
    peer.connection->write(Packet("PING", 0, ping));
    peer.connection->flush();
    if (!WaitFor([&] { return peer.received.contains(pong); }, timeoutMs)) return {};
    window.repaint();
    log.viewport()->repaint();
    QCoreApplication::processEvents();
    peer.connection->write(Packet("PING", 0, ping + "b"));
    peer.connection->flush();
    if (!WaitFor([&] { return peer.received.contains(Packet("PONG", 0, ping + "b")); }, timeoutMs)) return {};
    return {timer.elapsed(), ThreadCpuMs() - cpuStart};
}

int Measure(qsizetype bytes, int timeoutMs) {
    const double before = ResidentMiB();
    Peer peer;
    peer.server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&peer.server, &QTcpServer::newConnection, [&peer] {
        peer.connection = peer.server.nextPendingConnection();
        QObject::connect(peer.connection, &QTcpSocket::readyRead,
                         [&peer] { peer.received += peer.connection->readAll(); });
    });
    auto window = std::make_unique<FrmKorvel>();
    QString error;
    if (!window->Load(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    window->show();
    auto *log = window->findChild<QPlainTextEdit *>(QStringLiteral("txtT"));
    window->Klient()->Connect(QStringLiteral("127.0.0.1"), peer.server.serverPort());
    if (!WaitFor([&] { return window->Klient()->State() == KlientSocket::kConnected && peer.connection; }, 5000)) {
        std::fprintf(stderr, "no connection\n");
        return 1;
    }
    QCoreApplication::processEvents();

    const Cost large = Answered(peer, *window, *log, LongLine(bytes), timeoutMs);
    const double withMessage = ResidentMiB();
    const Cost small = large.wallMs < 0 ? Cost{} : Answered(peer, *window, *log, "hello!", timeoutMs);

    // Cleared as a user would: select all, Delete.
    log->setFocus();
    log->selectAll();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(log, &press);
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    const double cleared = ResidentMiB();
    const auto ms = [](Cost c) {
        return c.wallMs < 0 ? QByteArray("timed out")
                            : QByteArray::number(c.wallMs) + " ms (CPU " + QByteArray::number(c.cpuMs) + " ms)";
    };
    std::printf("%9lld bytes: shown and answering after %s; a 6-byte message after it %s; "
                "memory %.0f MiB before, %.0f MiB with it, %.0f MiB after clearing (%s)\n",
                static_cast<long long>(bytes), ms(large).constData(), ms(small).constData(), before, withMessage,
                cleared, log->document()->isEmpty() ? "empty" : "not empty");
    std::fflush(stdout);
    return large.wallMs < 0 ? 2 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int timeoutMs = qEnvironmentVariableIsSet("TESSARY_BENCHMARK_TIMEOUT_MS")
                              ? qEnvironmentVariableIntValue("TESSARY_BENCHMARK_TIMEOUT_MS")
                              : 120000;
    std::vector<qsizetype> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoll(argv[i]));
    if (sizes.empty()) sizes = {128 * 1024, 1024 * 1024, 8 * 1024 * 1024};
    int result = 0;
    for (qsizetype bytes : sizes) result |= Measure(bytes, timeoutMs);
    return result;
}
