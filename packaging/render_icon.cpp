// tessary-render-icon: writes the window's icon into a hicolor icon theme
// folder, as <folder>/hicolor/<n>x<n>/apps/tessary.png for every size n given.
//
//   tessary-render-icon FOLDER SIZE...
//
// The picture is the window's own 32 x 32 drawing. Sizes that are whole
// multiples of 32 repeat its pixels (it is pixel art); other sizes take the
// next multiple above and are scaled down smoothly from it.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <cstdio>
#include <string>

#include "window/window_icon.h"

namespace {

constexpr int kDrawingSize = 32;

QImage Render(const QImage &drawing, int size) {
    const int whole = (size + kDrawingSize - 1) / kDrawingSize * kDrawingSize;
    QImage image = drawing.scaled(whole, whole, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (whole != size) image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

}  // namespace

int main(int argc, char *argv[]) {
    QGuiApplication application(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: tessary-render-icon FOLDER SIZE...\n");
        return 2;
    }
    const QImage drawing = tessary::MakeWindowPixmap().toImage().convertToFormat(QImage::Format_RGB32);
    for (qsizetype i = 2; i < args.size(); ++i) {
        bool ok = false;
        const int size = args[i].toInt(&ok);
        if (!ok || size < 1 || size > 1024) {
            std::fprintf(stderr, "tessary-render-icon: a size is a number from 1 to 1024, not \"%s\"\n",
                         qPrintable(args[i]));
            return 2;
        }
        const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(args[1]).arg(size);
        const QString file = folder + QStringLiteral("/tessary.png");
        if (!QDir().mkpath(folder) || !Render(drawing, size).save(file, "PNG")) {
            std::fprintf(stderr, "tessary-render-icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
