// A push button whose caption wraps onto further lines when it is wider than
// the button, as the window's captions were laid out for.
#pragma once

#include <QPushButton>

namespace tessary {

class CaptionButton : public QPushButton {
    Q_OBJECT

public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent *event) override;
};

}  // namespace tessary
