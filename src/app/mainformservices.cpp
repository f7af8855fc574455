#include "app/frmMain.h"
#include "link/delaytimer.h"
#include "link/portdialog.h"
#include "link/portprobe.h"
#include "log/tablog.h"
#include "ui/inifilestore.h"
#include "ui/regionalqt.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>

namespace {

void showModalMessage(QMessageBox::Icon icon, const QString& caption, const QString& text) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

} // namespace

MainFormServices MainFormServices::system() {
    using namespace thermavo;
    MainFormServices services;
    services.now = [] { return QDateTime::currentDateTime(); };
    services.regionalSettings = systemRegionalSettings;
    services.tickCount = systemTickCount;
    services.linkTickCount = systemTickCount;
    services.showMessage = showModalMessage;
    services.choosePort = [] { return askForPort(); };
    services.settingsFile = settingsFilePath();
#ifdef _WIN32
    const QString folder = QStringLiteral("Thermavo");
#else
    const QString folder = QStringLiteral("thermavo");
#endif
    services.dataFolder =
        QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
            .filePath(folder);
    return services;
}

thermavo::FeatureHost MainFormServices::featureHost() const {
    thermavo::FeatureHost host;
    host.now = now;
    host.regionalSettings = regionalSettings;
    host.showMessage = showMessage;
    host.settingsFile = settingsFile;
    host.dataFolder = dataFolder;
    return host;
}

QString MainFormServices::shortDateText(const QDate& day) const {
    return QString::fromStdString(
        thermavo::shortDateText(thermavo::LocalDateTime{day.year(), day.month(), day.day()},
                                regionalSettings().shortDatePattern));
}

thermavo::LocalDateTime MainFormServices::localNow() const {
    const QDateTime time = now();
    const QDate date = time.date();
    const QTime clock = time.time();
    return thermavo::LocalDateTime{date.year(),    date.month(),   date.day(),  clock.hour(),
                                   clock.minute(), clock.second(), clock.msec()};
}
