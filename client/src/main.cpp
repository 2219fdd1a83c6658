// Tessary: the test and demonstration client of a distributed speech
// recogniser. The window frmKorvel is the whole program.
#include "window/frm_korvel.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    tessary::FrmKorvel window;
    QString error;
    if (!window.Load(&error)) {
        QMessageBox::critical(nullptr, QStringLiteral("Tessary"), error);
        return 1;
    }
    window.show();
    return QApplication::exec();
}
