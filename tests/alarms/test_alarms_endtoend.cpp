#include "alarms/alarmfeature.h"
#include "alarms/alarmwindow.h"
#include "alarms/historyoverlay.h"
#include "app/features.h"
#include "app/frmMain.h"
#include "harness.h"
#include "history/historyfeature.h"
#include "history/historywindow.h"
#include "link/datapacket.h"
#include "notificationserver.h"
#include "ui/integerfield.h"
#include "ui/stripchart.h"
#include "ui_alarmwindow.h"
#include "ui_frmMain.h"
#include "ui_historywindow.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// The real window on line to thermavo-sim, the simulator driven through its control FIFO: a
// channel past its limit and back, a silent channel and one out of range. What the user is told
// is read where the user would see it, the notification where the real server received it.

using namespace thermavo;
using namespace thermavo::harness;
using namespace thermavo::alarms;

namespace {

constexpr int kQuietSampleSeconds = 1000;
constexpr int kSettleMs = 10'000;
constexpr int kPort = 232;

QString readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class AlarmsEndToEndTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    QDateTime m_now;
    // How far the clock goes on between the ticks driven by hand.
    int m_tickSeconds = 1;
    std::optional<int> m_chosenPort;
    std::vector<QString> m_messages;
    std::unique_ptr<TMainForm> m_form;
    alarmtest::NotificationServer m_server;

    QString path(const QString& name) const { return m_folder.filePath(name); }

    MainFormServices services() {
        return harness::endToEndServices(
            [this] { return m_now; }, [this] { return m_chosenPort; },
            [this](const QString& text) { m_messages.push_back(text); },
            path(QStringLiteral("thermavo.INI")), path(QStringLiteral("data")));
    }

    Ui::TMainForm& ui() { return m_form->ui(); }
    AlarmFeature& alarms() { return m_form->features().alarms(); }

    void startWindow(const QString& ini) {
        QFile file(path(QStringLiteral("thermavo.INI")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini.toUtf8());
        file.close();
        m_form = std::make_unique<TMainForm>(services());
        ui().SampleIntervalField->setValue(kQuietSampleSeconds);
        m_form->IntervalFieldChange();
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    void switchOnLine() {
        m_chosenPort = kPort;
        ui().OnLineButton->click();
        QVERIFY(m_form->onLine());
    }

    // A line to the simulator's control FIFO.
    static void command(const QByteArray& line) {
        const int fifo = ::open("control.fifo", O_WRONLY | O_NONBLOCK);
        QVERIFY(fifo >= 0);
        const QByteArray text = line + '\n';
        QCOMPARE(::write(fifo, text.data(), static_cast<size_t>(text.size())),
                 static_cast<ssize_t>(text.size()));
        ::close(fifo);
    }

    // One tick of the sample clock a second after the last, once the board has replied twice.
    void tick(QSignalSpy& replies) {
        const qsizetype target = replies.count() + 2;
        QTRY_VERIFY_WITH_TIMEOUT(replies.count() >= target, kSettleMs);
        m_now = m_now.addSecs(m_tickSeconds);
        m_form->SampleIntervalTimerTimer();
    }

    QString stateOf(const QString& subject, int column = 2) {
        QTableWidget* table = alarms().window()->ui().StateTable;
        for (int row = 0; row < table->rowCount(); ++row) {
            if (table->item(row, 0)->text() + QLatin1Char(' ') + table->item(row, 1)->text() ==
                subject)
                return table->item(row, column)->text();
        }
        return QStringLiteral("(no row)");
    }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        QVERIFY2(QFile::exists(simulatorPath()), qPrintable(simulatorPath()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_folder.path()));
        QVERIFY(QDir::setCurrent(m_folder.path()));
        QVERIFY(mkfifo("control.fifo", 0600) == 0);
        QFile script(path(QStringLiteral("hook")));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nenv | grep '^THERMAVO_ALARM_' | sort > "
                     "\"$1/$THERMAVO_ALARM_CHANNEL-$THERMAVO_ALARM_EVENT.env\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        QVERIFY2(m_server.start(), "No notification server: scripts/setup installs dbus-daemon, "
                                   "dunst and Xvfb");
    }

    void init() {
        m_messages.clear();
        m_now = QDateTime(QDate(2024, 12, 8), QTime(2, 11, 0));
        m_tickSeconds = 1;
        QDir(path(QStringLiteral("data"))).removeRecursively();
    }

    void cleanup() {
        if (m_form)
            m_form->close();
        m_form.reset();
    }

    void channelPastItsLimitAndBack() {
        startWindow(QStringLiteral("[AlarmT3]\nName=Freezer A in the basement store "
                                   "room\nHigh=25\n[Alarms]\nProgram=%1 %2\n")
                        .arg(path(QStringLiteral("hook")), m_folder.path()));
        Simulator board(kPort, {"--rate", "20", "--seed", "7", "--control", "control.fifo"});
        QVERIFY(board.waitUntilReady());
        command("set T3 20");
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        QSignalSpy events(&alarms(), &AlarmFeature::alarmEvent);
        switchOnLine();
        for (int count = 0; count < 3; ++count)
            tick(replies);
        QVERIFY(alarms().statusLabel().isHidden());
        QCOMPARE(events.count(), 0);

        // The freezer warms: the simulator ramps T3 past the limit.
        command("ramp T3 30 1");
        for (int count = 0; count < 30 && events.isEmpty(); ++count)
            tick(replies);
        QCOMPARE(events.count(), 1);
        const QString since = m_now.time().toString(QStringLiteral("hh:mm:ss"));
        QCOMPARE(
            alarms().statusLabel().text(),
            QStringLiteral("Alarm: T3 Freezer A in the basement store room above 25.0 °C since %1")
                .arg(since));
        QVERIFY(alarms().statusLabel().isVisible());
        QVERIFY(ui().StatusBar->isAncestorOf(&alarms().statusLabel()));

        // A log loss reported beside it stays whole: the alarm's text gives way.
        auto* logStatus = m_form->findChild<QLabel*>(QStringLiteral("LogStatusLabel"));
        QVERIFY(logStatus != nullptr);
        logStatus->setText(QStringLiteral("Log file lost 3 times, last deleted at 02:11:05, "
                                          "logging goes on in a new file"));
        logStatus->show();
        QTRY_VERIFY(logStatus->width() >= logStatus->sizeHint().width());
        QVERIFY(alarms().statusLabel().width() > 0);
        QVERIFY(alarms().statusLabel().geometry().right() <= ui().StatusBar->width());
        logStatus->hide();

        // Ctrl+L in the main window opens the alarm window.
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QTest::keyClick(m_form.get(), Qt::Key_L, Qt::ControlModifier);
        QVERIFY(alarms().window() != nullptr && alarms().window()->isVisible());
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A in the basement store room above 25.0 °C")),
                 QStringLiteral("active"));

        QTRY_VERIFY_WITH_TIMEOUT(
            alarmtest::NotificationServer::received().contains(QStringLiteral(
                "T3 Freezer A in the basement store room above 25.0 °C: raised at ")),
            kSettleMs);
        const QString raisedEnv = path(QStringLiteral("T3-raised.env"));
        QTRY_VERIFY_WITH_TIMEOUT(!readText(raisedEnv).isEmpty(), kSettleMs);
        const QString environment = readText(raisedEnv);
        for (const QString& line :
             {QStringLiteral("THERMAVO_ALARM_CHANNEL=T3"),
              QStringLiteral("THERMAVO_ALARM_KIND=high"), QStringLiteral("THERMAVO_ALARM_LIMIT=25"),
              QStringLiteral("THERMAVO_ALARM_NAME=Freezer A in the basement store room"),
              QStringLiteral("THERMAVO_ALARM_TIME=2024-12-08T%1").arg(since)})
            QVERIFY2(environment.contains(line), qPrintable(environment));

        // Acknowledged, then the freezer cools again.
        alarms().window()->ui().AcknowledgeAllButton->click();
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A in the basement store room above 25.0 °C")),
                 QStringLiteral("acknowledged"));
        command("set T3 20");
        for (int count = 0; count < 30 && events.count() < 3; ++count)
            tick(replies);
        QCOMPARE(events.count(), 3);
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A in the basement store room above 25.0 °C")),
                 QStringLiteral("normal"));
        QVERIFY(alarms().statusLabel().isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(
            alarmtest::NotificationServer::received().contains(QStringLiteral(
                "T3 Freezer A in the basement store room above 25.0 °C: cleared at ")),
            kSettleMs);

        const QStringList log = readText(path(QStringLiteral("data/alarms/alarms.csv")))
                                    .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QVERIFY2(log.size() == 4, qPrintable(log.join(QLatin1Char('\n'))));
        QCOMPARE(log[0],
                 QStringLiteral("Time,UTC offset,Channel,Name,Kind,Event,Value,Limit,Note"));
        QVERIFY(log[1].startsWith(QStringLiteral("2024-12-08 %1,").arg(since)));
        QVERIFY(log[1].contains(
            QStringLiteral(",T3,Freezer A in the basement store room,high,raised,")));
        QVERIFY(log[2].contains(
            QStringLiteral(",T3,Freezer A in the basement store room,high,acknowledged,,,")));
        QVERIFY(log[3].contains(
            QStringLiteral(",T3,Freezer A in the basement store room,high,cleared,")));
        QVERIFY(log[3].endsWith(QStringLiteral(",25,")));

        // The history window opened afterwards draws the run's alarm and names the channel.
        m_form->features().history().showRunAction().trigger();
        HistoryWindow* history = m_form->features().history().window();
        QVERIFY(history != nullptr);
        const auto* overlay = history->findChild<HistoryOverlay*>();
        QVERIFY(overlay != nullptr);
        QCOMPARE(overlay->markers().size(), 3u);
        QCOMPARE(overlay->shades().size(), 1u);
        QVERIFY(!overlay->shades()[0].open);
        QCOMPARE(history->ui().ChannelTable->item(2, 0)->text(),
                 QStringLiteral("T3 Freezer A in the basement store room"));
        QVERIFY(m_messages.empty());
    }

    void silentAndOutOfRangeChannels() {
        startWindow(
            QStringLiteral("[AlarmT3]\nNoDataSeconds=3000\n[AlarmT5]\nNoDataSeconds=3000\n"));
        // "No data" counts on the sample clock, so it must be at least the quiet interval: each
        // tick here is one interval on.
        m_tickSeconds = kQuietSampleSeconds;
        Simulator board(kPort, {"--rate", "20", "--seed", "7", "--fault", "silent-channels=5",
                                "--control", "control.fifo"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        QSignalSpy events(&alarms(), &AlarmFeature::alarmEvent);
        switchOnLine();
        tick(replies);
        // T3's sensor reads beyond the board's range: no sample.
        command("set T3 200");
        tick(replies);
        tick(replies);
        QCOMPARE(events.count(), 1);
        QCOMPARE(alarms().statusLabel().text(),
                 QStringLiteral("Alarm: T5 no data for 3000 s since 03:01:00"));
        tick(replies);
        tick(replies);
        QCOMPARE(events.count(), 2);
        QCOMPARE(alarms().statusLabel().text(),
                 QStringLiteral("Alarm: T5 no data for 3000 s since 03:01:00 (+1)"));
        alarms().showWindow();
        QCOMPARE(stateOf(QStringLiteral("T3 no data for 3000 s")), QStringLiteral("active"));
        QCOMPARE(stateOf(QStringLiteral("T5 no data for 3000 s")), QStringLiteral("active"));
        QVERIFY(!alarms().window()->ui().PausedLabel->isVisible());

        // Back in range: T3 clears, and stays shown until acknowledged.
        command("set T3 21");
        tick(replies);
        QCOMPARE(events.count(), 3);
        QCOMPARE(stateOf(QStringLiteral("T3 no data for 3000 s")),
                 QStringLiteral("cleared, unacknowledged"));

        // Off line by the user's switch: paused, and no more "no data".
        ui().OnLineButton->click();
        QVERIFY(!m_form->onLine());
        QVERIFY(alarms().window()->ui().PausedLabel->isVisible());
        QVERIFY(m_messages.empty());
    }

    // The strip chart's context menu opens the alarms too.
    void stripChartOffersTheAlarms() {
        startWindow(QString());
        const QList<QAction*> actions = ui().Chart1->actions();
        const auto found = std::find_if(actions.begin(), actions.end(), [](const QAction* action) {
            return action->text() == QStringLiteral("Alarms…");
        });
        QVERIFY(found != actions.end());
        QCOMPARE((*found)->shortcut(), QKeySequence(QStringLiteral("Ctrl+L")));
        (*found)->trigger();
        QVERIFY(alarms().window() != nullptr && alarms().window()->isVisible());
        m_form->close();
        QVERIFY(!alarms().window()->isVisible());
    }
};

int main(int argc, char** argv) {
    const pid_t bus = alarmtest::startPrivateBus();
    int result = 0;
    {
        QApplication app(argc, argv);
        AlarmsEndToEndTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    alarmtest::stopPrivateBus(bus);
    return result;
}

#include "test_alarms_endtoend.moc"
