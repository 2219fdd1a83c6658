// The entry point of the window tests: a widget application, on Qt's
// offscreen platform unless the environment names another.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

namespace {

// How many of this process's threads carry the given name.
int ThreadsNamed(const QByteArray &name) {
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task) + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name) ++count;
    }
    return count;
}

// Qt paints large areas on the global thread pool. Its threads are detached:
// waitForDone() returns once each has finished its work, but a thread still
// releases its thread data a moment later, on its way out. Should the process
// exit in that moment, LeakSanitizer finds the thread data unreferenced and
// reports it. Join the pool, then wait until its threads are really gone.
void JoinPaintingThreads() {
    QThreadPool::globalInstance()->waitForDone();
    const QDeadlineTimer deadline(5000);
    while (ThreadsNamed("Thread (pooled)") > 0 && !deadline.hasExpired()) QThread::msleep(1);
}

}  // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    JoinPaintingThreads();
    return result;
}
