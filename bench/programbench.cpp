#include "app/frmMain.h"
#include "ui/fileedit.h"
#include "ui/integerfield.h"
#include "ui_frmMain.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QTimer>
#include <QToolButton>
#include <cstdio>

// The real window on the real display and link, driven by itself so that a script can measure
// the process from outside: on line to the board on --port with a SYLK log and the chart
// running, or idle off line with only the clock ticking. Prints "ready" when the measured
// stretch begins and "replies N" after it, N counting the replies the window handled.

using namespace thermavo;

namespace {

constexpr int kSampleSeconds = 1;

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption portOption("port", "COM number of the board", "N");
    const QCommandLineOption secondsOption("seconds", "length of the measured stretch", "S", "60");
    const QCommandLineOption logOption("log", "SYLK log file", "FILE");
    const QCommandLineOption settingsOption("settings", "settings file", "FILE");
    const QCommandLineOption idleOption("idle", "stay off line");
    parser.addOptions({portOption, secondsOption, logOption, settingsOption, idleOption});
    parser.process(application);

    MainFormServices services = MainFormServices::system();
    const int port = parser.value(portOption).toInt();
    services.choosePort = [port] { return std::optional<int>(port); };
    services.showMessage = [](QMessageBox::Icon, const QString&, const QString& text) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    };
    if (parser.isSet(settingsOption))
        services.settingsFile = parser.value(settingsOption);

    TMainForm form(services);
    form.showAtStart();
    int replies = 0;
    QObject::connect(form.findChild<DataPacket*>(), &DataPacket::StringPacket, &form,
                     [&replies] { ++replies; });
    if (!parser.isSet(idleOption)) {
        form.ui().SampleIntervalField->setValue(kSampleSeconds);
        form.IntervalFieldChange();
        form.ui().OnLineButton->click();
        if (!form.onLine())
            return 1;
        form.ui().SylkFileEdit->setText(parser.value(logOption));
        form.ui().LogOnButton->click();
        if (!form.logOpen())
            return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    QTimer::singleShot(parser.value(secondsOption).toInt() * 1000, &form, [&] {
        std::printf("replies %d\nrecords %d\n", replies, form.recordCount());
        std::fflush(stdout);
        form.close();
        application.quit();
    });
    return QApplication::exec();
}
