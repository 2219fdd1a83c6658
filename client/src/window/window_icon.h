#pragma once

#include <QIcon>
#include <QPixmap>

namespace tessary {

// The window's 32 x 32 picture in 16-colour style: the words Demo and client
// in black on white, between a red stripe above and a blue stripe below.
QPixmap MakeWindowPixmap();
QIcon MakeWindowIcon();

}  // namespace tessary
