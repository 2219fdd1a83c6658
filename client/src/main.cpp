// Tessary: the test and demonstration client of a distributed speech
// recogniser. The window frmKorvel is the whole program.
#include "window/frm_korvel.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

#include "tessary_version.h"

int main(int argc, char *argv[]) {
    // Answered before Qt starts, so that they need no display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Tessary %s\n", TESSARY_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: Tessary [--version] [Qt options such as -platform NAME]\n"
                        "Opens the window of the Tessary speech recogniser client.\n");
            return 0;
        }
    }
    QApplication application(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(TESSARY_VERSION));
    // The window belongs to tessary.desktop (its name and icon on Wayland).
    QGuiApplication::setDesktopFileName(QStringLiteral("tessary"));
    tessary::FrmKorvel window;
    QString error;
    if (!window.Load(&error)) {
        QMessageBox::critical(nullptr, QStringLiteral("Tessary"), error);
        return 1;
    }
    window.show();
    return QApplication::exec();
}
