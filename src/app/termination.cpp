#include "app/termination.h"

#include "app/frmMain.h"

#include <QApplication>
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

} // namespace

void endSessionOnTerminationSignals(TMainForm& window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(terminationPipe[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        [[maybe_unused]] const ssize_t count = ::read(terminationPipe[1], &byte, 1);
        // A close would wait for a box inside a reply handler to be clicked away, which nobody
        // may do now: the session ends here, and every event loop, a box's too, is left.
        window.SessionEnd();
        QApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}
