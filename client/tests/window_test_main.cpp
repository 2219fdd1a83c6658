// The entry point of the window tests: a widget application, on Qt's
// offscreen platform unless the environment names another.
#include <QApplication>
#include <QThreadPool>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Qt paints large areas on the global thread pool. A pool thread still
    // winding down when the process exits leaves its thread data behind, which
    // LeakSanitizer reports now and then; join the pool's threads first.
    QThreadPool::globalInstance()->waitForDone();
    return result;
}
