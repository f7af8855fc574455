#include "app/apptitle.h"
#include "app/frmMain.h"

#include <QApplication>
#include <QIcon>

#ifndef _WIN32
#include "app/termination.h"

#include <csignal>
#endif

int main(int argc, char* argv[]) {
    // Qt's own event loop instead of GLib's: the window and the link wake up to a hundred times a
    // second at line rate, and GLib's loop costs more per wake-up.
    qputenv("QT_NO_GLIB", "1");
    // Without shared memory a repaint is sent to the X server in the request itself; with it,
    // every repaint brings a completion event back, which wakes two of the program's threads
    // once more for each of the twenty repaints a second at line rate.
    qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication application(argc, argv);
    QApplication::setApplicationName(kApplicationTitle);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/thermavo.png")));
    QApplication::setFont(TMainForm::windowFont());

    TMainForm MainForm;
#ifndef _WIN32
    endSessionOnTerminationSignals(MainForm);
    // A log reaching the user's file-size limit then fails its write, which the log cuts back to
    // its last whole line; by default the signal would kill the program with the log unfinished.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    MainForm.showAtStart();
    return QApplication::exec();
}
