#include "window/window_icon.h"

#include <QFont>
#include <QPainter>

namespace tessary {

QPixmap MakeWindowPixmap() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::white);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.fillRect(0, 0, 32, 5, Qt::red);
    painter.fillRect(0, 27, 32, 5, Qt::blue);

    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif, QFont::NoAntialias);
    font.setPixelSize(10);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QRect(0, 5, 32, 11), Qt::AlignCenter, QStringLiteral("Demo"));
    font.setBold(false);
    font.setPixelSize(9);
    painter.setFont(font);
    painter.drawText(QRect(0, 16, 32, 11), Qt::AlignCenter, QStringLiteral("client"));
    return pixmap;
}

QIcon MakeWindowIcon() { return QIcon(MakeWindowPixmap()); }

}  // namespace tessary
