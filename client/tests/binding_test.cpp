// Binding libvantrel by name: where it is looked for, and what a missing
// library or export reports. Its own program: a successful bind lasts for the
// life of the process.
#include "window/mdl_param.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <time.h>

namespace tessary {
namespace {

TEST(Binding, ReportsAMissingLibraryThenAMissingExportThenBinds) {
    QString error;
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    EXPECT_FALSE(mdlParam::BindFrom({empty.path()}, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("libvantrel.so.0"))) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("cannot be loaded"))) << error.toStdString();

    // Never from the current directory, even when the library lies there.
    QTemporaryDir current;
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/libvantrel.so.0"),
                            current.path() + QStringLiteral("/libvantrel.so.0")));
    const QString before = QDir::currentPath();
    QDir::setCurrent(current.path());
    EXPECT_FALSE(mdlParam::BindFrom({QStringLiteral("."), QString()}, &error));
    QDir::setCurrent(before);
    EXPECT_FALSE(mdlParam::IsBound());

    // A library without the capture functions names each one it lacks.
    const QString partial = QCoreApplication::applicationDirPath() + QStringLiteral("/partial");
    EXPECT_FALSE(mdlParam::BindFrom({partial}, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("libvantrel.so.0"))) << error.toStdString();
    for (const char *name : {"DeallocEnv", "StartRecord", "StopRecord", "GetBufLen", "GetParam", "Test"}) {
        EXPECT_TRUE(error.contains(QString::fromLatin1(name))) << error.toStdString();
    }
    EXPECT_FALSE(error.contains(QStringLiteral("InitClient"))) << error.toStdString();
    EXPECT_FALSE(mdlParam::IsBound());

    // The first folder that holds a whole library wins, the program's own first.
    EXPECT_EQ(mdlParam::LibraryFolders().value(0), QCoreApplication::applicationDirPath());
    EXPECT_TRUE(mdlParam::BindFrom({empty.path(), QCoreApplication::applicationDirPath()}, &error));
    EXPECT_TRUE(mdlParam::IsBound());
    uint8_t head[12] = {};
    const int32_t number = 5, length = 9;
    mdlParam::SetPacketHead(head, "ADDW", &number, &length);
    EXPECT_EQ(head[4], 5);
    EXPECT_EQ(head[8], 9);
}

TEST(Binding, TickCountIsMillisecondsSinceStart) {
    const int32_t first = mdlParam::GetTickCount();
    timespec pause{0, 30 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    const int32_t second = mdlParam::GetTickCount();
    const int32_t elapsed = static_cast<int32_t>(static_cast<uint32_t>(second) - static_cast<uint32_t>(first));
    EXPECT_GE(elapsed, 30);
    EXPECT_LT(elapsed, 5000);
}

}  // namespace
}  // namespace tessary

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
