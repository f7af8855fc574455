#include "app/apptitle.h"
#include "app/frmMain.h"

#include <QApplication>
#include <QIcon>

#ifndef _WIN32
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int terminationPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(terminationPipe[0], &byte, 1);
}

// A logout or `kill` closes the window as the close box would, so an open log is completed and
// the board stopped instead of the process just vanishing.
void closeOnTerminationSignals(QWidget& window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(terminationPipe[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        [[maybe_unused]] const ssize_t count = ::read(terminationPipe[1], &byte, 1);
        window.close();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace
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
    closeOnTerminationSignals(MainForm);
    // A log reaching the user's file-size limit then fails its write, which the log cuts back to
    // its last whole line; by default the signal would kill the program with the log unfinished.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    MainForm.showAtStart();
    return QApplication::exec();
}
