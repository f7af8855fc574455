#include "app/apptitle.h"
#include "app/frmMain.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(kApplicationTitle);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/thermavo.png")));
    QApplication::setFont(TMainForm::windowFont());

    TMainForm MainForm;
    MainForm.showAtStart();
    return QApplication::exec();
}
