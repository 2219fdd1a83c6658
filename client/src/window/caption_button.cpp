#include "window/caption_button.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace tessary {

void CaptionButton::paintEvent(QPaintEvent * /*event*/) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();  // the face without its caption
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    style()->drawItemText(&painter, area, Qt::AlignCenter | Qt::TextWordWrap, palette(), isEnabled(), text(),
                          QPalette::ButtonText);
}

}  // namespace tessary
