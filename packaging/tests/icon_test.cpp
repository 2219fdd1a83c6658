// The icons installed into the hicolor theme are the window's own drawing:
// the 32 x 32 one pixel for pixel, the multiples of 32 its pixels repeated,
// the others its smooth reduction, each at its folder's size.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QString>

#include "window/window_icon.h"

namespace {

QImage Drawing() { return tessary::MakeWindowPixmap().toImage().convertToFormat(QImage::Format_RGB32); }

QImage Installed(int size) {
    const QString file = QStringLiteral(TESSARY_ICON_DIR "/hicolor/%1x%1/apps/tessary.png").arg(size);
    QImage image(file);
    EXPECT_FALSE(image.isNull()) << qPrintable(file);
    return image.convertToFormat(QImage::Format_RGB32);
}

TEST(Icon, EveryThemeSizeIsTheWindowsDrawingAtThatSize) {
    const QImage drawing = Drawing();
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QImage icon = Installed(size);
        ASSERT_EQ(icon.size(), QSize(size, size)) << size;
        if (size % 32 == 0) {
            const int scale = size / 32;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    ASSERT_EQ(icon.pixel(x, y), drawing.pixel(x / scale, y / scale))
                        << "size " << size << " at " << x << "," << y;
        }
    }
}

TEST(Icon, SmallerSizesKeepTheStripesAndTheWhiteGround) {
    // The drawing's red stripe on top and blue stripe below survive the
    // reduction; the middle stays light.
    for (const int size : {16, 48}) {
        const QImage icon = Installed(size);
        const QColor top = icon.pixelColor(size / 2, 0), bottom = icon.pixelColor(size / 2, size - 1);
        EXPECT_GT(top.red(), 200) << size;
        EXPECT_LT(top.blue(), 60) << size;
        EXPECT_GT(bottom.blue(), 200) << size;
        EXPECT_LT(bottom.red(), 60) << size;
        EXPECT_GT(icon.pixelColor(0, size / 2).lightness(), 200) << size;
    }
}

}  // namespace

int main(int argc, char **argv) {
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
