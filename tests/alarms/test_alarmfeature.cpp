#include "alarms/alarmfeature.h"
#include "alarms/alarmlog.h"
#include "alarms/alarmprogram.h"
#include "alarms/alarmwindow.h"
#include "alarms/systemsound.h"
#include "events/runpublisher.h"
#include "notificationserver.h"
#include "ui_alarmwindow.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <memory>

// The alarm feature on a real publisher, status bar and settings file, with the user's program
// run for real and notifications sent to a real notification server (dunst on a virtual X
// display) on a private D-Bus session this test starts itself.

using namespace thermavo;
using namespace thermavo::alarms;

namespace {

constexpr std::int64_t kStart = 1'733'670'720'000; // 2024-12-08 15:12:00 UTC
constexpr int kSettleMs = 10'000;

// Counts its plays, which come on the feature's sound thread, and fails with the reason given.
class CountingPlayer : public SoundPlayer {
public:
    explicit CountingPlayer(std::string reason) : m_reason(std::move(reason)) {}
    std::string play() override {
        ++plays;
        return m_reason;
    }
    std::atomic<int> plays = 0;

private:
    std::string m_reason;
};

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class AlarmFeatureTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    QDateTime m_now;
    QMainWindow m_window;
    QWidget* m_chart = nullptr;
    RunPublisher m_events;
    std::unique_ptr<AlarmFeature> m_feature;
    alarmtest::NotificationServer m_server;

    QString path(const QString& name) const { return m_folder.filePath(name); }

    void start(const QString& ini) {
        m_feature.reset();
        m_now = QDateTime::fromMSecsSinceEpoch(kStart, Qt::OffsetFromUTC, 3600);
        QFile::remove(path(QStringLiteral("data/alarm-states.txt")));
        QFile file(path(QStringLiteral("thermavo.INI")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini.toUtf8());
        file.close();
        startAgain();
    }

    void startAgain() {
        m_feature.reset();
        FeatureHost host;
        host.events = &m_events;
        host.window = &m_window;
        host.statusBar = m_window.statusBar();
        host.chart = m_chart;
        host.now = [this] { return m_now; };
        host.regionalSettings = [] { return RegionalSettings{}; };
        host.showMessage = [](QMessageBox::Icon, const QString&, const QString& text) {
            QFAIL(qPrintable("A box was opened: " + text));
        };
        host.reportError = [](const QString& text) { QFAIL(qPrintable(text)); };
        host.settingsFile = path(QStringLiteral("thermavo.INI"));
        host.dataFolder = path(QStringLiteral("data"));
        m_feature = std::make_unique<AlarmFeature>(host);
    }

    void link(LinkChange change) {
        LinkEvent event;
        event.change = change;
        event.msSinceEpoch = m_now.toMSecsSinceEpoch();
        event.utcOffsetSeconds = m_now.offsetFromUtc();
        m_events.publish(event);
    }

    void tick(float t3) {
        m_now = m_now.addSecs(1);
        SampleTick tick;
        tick.msSinceEpoch = m_now.toMSecsSinceEpoch();
        tick.utcOffsetSeconds = m_now.offsetFromUtc();
        tick.intervalSeconds = 1;
        tick.replies = 2;
        for (ChannelTick& channel : tick.channels)
            channel = {true, 20.0f, 20.0f};
        tick.channels[2] = {!qIsNaN(t3), t3, t3};
        m_events.publish(tick);
    }

    QString stateOf(const QString& subject, int column = 2) {
        QTableWidget* table = m_feature->window()->ui().StateTable;
        for (int row = 0; row < table->rowCount(); ++row) {
            if (table->item(row, 0)->text() + QLatin1Char(' ') + table->item(row, 1)->text() ==
                subject)
                return table->item(row, column)->text();
        }
        return QStringLiteral("(no row)");
    }

    QString logText() { return readAll(path(QStringLiteral("data/alarms/alarms.csv"))); }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        m_chart = new QWidget(&m_window);
        m_window.setCentralWidget(m_chart);
        m_window.statusBar();
        m_window.show();
        m_now = QDateTime::fromMSecsSinceEpoch(kStart, Qt::OffsetFromUTC, 3600);
        QFile script(path(QStringLiteral("hook")));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            "#!/bin/sh\nenv | grep '^THERMAVO_ALARM_' | sort > \"$1/$THERMAVO_ALARM_EVENT\""
            ".env\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);

        QVERIFY2(m_server.start(), "No notification server: scripts/setup installs dbus-daemon, "
                                   "dunst and Xvfb");
    }

    void cleanupTestCase() { m_feature.reset(); }

    void raisedShownLoggedRunAndNotified() {
        start(QStringLiteral("[TMainForm]\nInterval=1\n[AlarmT3]\nName=Freezer A\nHigh=5\n"
                             "[Alarms]\nProgram=%1 %2\n")
                  .arg(path(QStringLiteral("hook")), m_folder.path()));
        QVERIFY(m_feature->droppedEntries().isEmpty());
        QSignalSpy events(m_feature.get(), &AlarmFeature::alarmEvent);
        QVERIFY(m_feature->statusLabel().isHidden());

        link(LinkChange::OnLine);
        tick(4.0f);
        QCOMPARE(events.count(), 0);
        tick(6.5f);
        QCOMPARE(events.count(), 1);
        QCOMPARE(m_feature->statusLabel().text(),
                 QStringLiteral("Alarm: T3 Freezer A above 5.0 °C since 16:12:02"));
        QVERIFY(m_feature->statusLabel().isVisible());

        // The program ran with the alarm in its environment.
        const QString raisedEnv = path(QStringLiteral("raised.env"));
        QTRY_VERIFY_WITH_TIMEOUT(!readAll(raisedEnv).isEmpty(), kSettleMs);
        QCOMPARE(readAll(raisedEnv),
                 QStringLiteral("THERMAVO_ALARM_CHANNEL=T3\n"
                                "THERMAVO_ALARM_EVENT=raised\n"
                                "THERMAVO_ALARM_KIND=high\n"
                                "THERMAVO_ALARM_LIMIT=5\n"
                                "THERMAVO_ALARM_NAME=Freezer A\n"
                                "THERMAVO_ALARM_TIME=2024-12-08T16:12:02+01:00\n"
                                "THERMAVO_ALARM_VALUE=6.50\n"));
        QCOMPARE(logText(),
                 QStringLiteral("Time,UTC offset,Channel,Name,Kind,Event,Value,Limit,Note\r\n"
                                "2024-12-08 16:12:02,+01:00,T3,Freezer A,high,raised,6.50,5,\r\n"));

        // The status bar text opens the window, where the alarm is active.
        QTest::mouseClick(&m_feature->statusLabel(), Qt::LeftButton);
        QVERIFY(m_feature->window() != nullptr && m_feature->window()->isVisible());
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A above 5.0 °C")), QStringLiteral("active"));
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A above 5.0 °C"), 4), QStringLiteral("6.5 °C"));

        tick(7.5f);
        QCOMPARE(events.count(), 1);
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A above 5.0 °C"), 4), QStringLiteral("7.5 °C"));

        QTRY_VERIFY_WITH_TIMEOUT(alarmtest::NotificationServer::received().contains(
                                     QStringLiteral("T3 Freezer A above 5.0 °C: raised at 6.5 °C")),
                                 kSettleMs);

        // Acknowledged in the window, then cleared below the hysteresis.
        m_now = m_now.addSecs(10);
        m_feature->window()->ui().StateTable->selectRow(0);
        m_feature->window()->ui().AcknowledgeButton->click();
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A above 5.0 °C")),
                 QStringLiteral("acknowledged"));
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A above 5.0 °C"), 5),
                 QStringLiteral("2024-12-08 16:12:13"));
        tick(4.6f);
        QCOMPARE(events.count(), 2);
        tick(4.4f);
        QCOMPARE(events.count(), 3);
        QCOMPARE(stateOf(QStringLiteral("T3 Freezer A above 5.0 °C")), QStringLiteral("normal"));
        QVERIFY(m_feature->statusLabel().isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(readAll(path(QStringLiteral("cleared.env")))
                                     .contains(QStringLiteral("THERMAVO_ALARM_VALUE=4.40")),
                                 kSettleMs);
        QVERIFY(logText().endsWith(
            QStringLiteral("2024-12-08 16:12:13,+01:00,T3,Freezer A,high,acknowledged,,,\r\n"
                           "2024-12-08 16:12:15,+01:00,T3,Freezer A,high,cleared,4.40,5,\r\n")));
        QTRY_VERIFY_WITH_TIMEOUT(alarmtest::NotificationServer::received().contains(QStringLiteral(
                                     "T3 Freezer A above 5.0 °C: cleared at 4.4 °C")),
                                 kSettleMs);
        link(LinkChange::OffLine);
    }

    void keptForTheNextRun() {
        start(QStringLiteral("[AlarmT3]\nHigh=5\nNoDataSeconds=3\n"));
        link(LinkChange::OnLine);
        tick(6.0f);
        tick(6.0f);
        m_feature->showWindow();
        QCOMPARE(stateOf(QStringLiteral("T3 above 5.0 °C")), QStringLiteral("active"));

        startAgain();
        QSignalSpy events(m_feature.get(), &AlarmFeature::alarmEvent);
        QCOMPARE(m_feature->statusLabel().text(),
                 QStringLiteral("Alarm: T3 above 5.0 °C since 16:12:01, previous run"));
        m_feature->showWindow();
        QCOMPARE(stateOf(QStringLiteral("T3 above 5.0 °C")),
                 QStringLiteral("active (previous run)"));
        QVERIFY(m_feature->window()->ui().PausedLabel->isVisible());
        link(LinkChange::OnLine);
        QVERIFY(!m_feature->window()->ui().PausedLabel->isVisible());
        tick(6.0f);
        QCOMPARE(events.count(), 0);
        // Samples stop: the channel's "no data" is raised on the sample clock, not before.
        tick(qQNaN());
        tick(qQNaN());
        QCOMPARE(events.count(), 0);
        tick(qQNaN());
        QCOMPARE(events.count(), 1);
        QCOMPARE(stateOf(QStringLiteral("T3 no data for 3 s")), QStringLiteral("active"));
        QCOMPARE(m_feature->statusLabel().text(),
                 QStringLiteral("Alarm: T3 no data for 3 s since 16:12:06 (+1)"));
        m_feature->acknowledgeAll();
        QCOMPARE(events.count(), 3);
        QCOMPARE(stateOf(QStringLiteral("T3 above 5.0 °C")), QStringLiteral("acknowledged"));
        link(LinkChange::OffLine);
    }

    // No ticks come while the board is lost: its alarm runs on the feature's own clock.
    void lostBoardOnItsOwnClock() {
        start(QStringLiteral("[Alarms]\nBoardLostSeconds=30\n"));
        QSignalSpy events(m_feature.get(), &AlarmFeature::alarmEvent);
        link(LinkChange::OnLine);
        tick(20.0f);
        link(LinkChange::Lost);
        m_now = m_now.addSecs(29);
        m_feature->checkLostBoard();
        QCOMPARE(events.count(), 0);
        m_now = m_now.addSecs(1);
        m_feature->checkLostBoard();
        QCOMPARE(events.count(), 1);
        QCOMPARE(m_feature->statusLabel().text(),
                 QStringLiteral("Alarm: Board lost for 30 s since 16:12:31"));
        m_now = m_now.addSecs(5);
        link(LinkChange::Back);
        QCOMPARE(events.count(), 2);
        QCOMPARE(m_feature->statusLabel().text(),
                 QStringLiteral("Alarm: Board lost for 30 s since 16:12:31, cleared"));
        m_feature->acknowledgeAll();
        QVERIFY(m_feature->statusLabel().isHidden());
        link(LinkChange::OffLine);
    }

    void brokenSettingsNamed() {
        start(QStringLiteral("[AlarmT2]\nHigh=hot\nLow=-50\n[AlarmT5]\nHigh=10\n"));
        QCOMPARE(m_feature->droppedEntries().size(), 2);
        QVERIFY(m_feature->droppedEntries()[0].startsWith(QStringLiteral("[AlarmT2] High=hot")));
        QVERIFY(m_feature->rules().configured(alarmIndex(4, Kind::High)));
        m_feature->showWindow();
        QVERIFY(m_feature->window()->ui().EventList->item(1)->text().contains(
            QStringLiteral("[AlarmT2] High=hot")));
    }

    void noDataBelowTheIntervalDroppedAtTheFirstTick() {
        start(QStringLiteral("[AlarmT3]\nNoDataSeconds=1\nHigh=5\n"));
        QSignalSpy problems(m_feature.get(), &AlarmFeature::problem);
        m_feature->showWindow();
        QCOMPARE(stateOf(QStringLiteral("T3 no data for 1 s")), QStringLiteral("normal"));
        link(LinkChange::OnLine);
        SampleTick slow;
        slow.msSinceEpoch = m_now.toMSecsSinceEpoch() + 2000;
        slow.intervalSeconds = 2;
        m_events.publish(slow);
        const QString entry = QStringLiteral(
            "[AlarmT3] NoDataSeconds=1: \"No data\" must be at least the sample interval, 2 s.");
        QCOMPARE(m_feature->droppedEntries(), QStringList{entry});
        QCOMPARE(problems.count(), 1);
        QCOMPARE(problems[0][0].toString(), QStringLiteral("Alarm setting dropped: %1").arg(entry));
        QCOMPARE(m_feature->window()->ui().SettingsTable->item(2, 5)->text(), QString());
        QCOMPARE(stateOf(QStringLiteral("T3 no data for 1 s")), QStringLiteral("(no row)"));
        QVERIFY(m_feature->rules().configured(alarmIndex(2, Kind::High)));
        link(LinkChange::OffLine);
    }

    void typedSettingsRefused_data() {
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");

        QTest::newRow("no number") << 1 << "warm"
                                   << "T3: \"warm\" is no number.";
        QTest::newRow("above the range") << 1 << "150.5"
                                         << "T3: A limit must lie from -45 to 150 °C.";
        QTest::newRow("low not below high") << 2 << "9"
                                            << "T3: The low limit must lie below the high one.";
        QTest::newRow("no data below the interval")
            << 5 << "1"
            << "T3: \"No data\" must be at least the sample interval, 2 s.";
        QTest::newRow("delay of nothing")
            << 4 << "0"
            << "T3: the delay must be a number of samples from 1 to 1000.";
        QTest::newRow("good") << 1 << "8.5"
                              << "";
    }

    void typedSettingsRefused() {
        QFETCH(int, column);
        QFETCH(QString, typed);
        QFETCH(QString, message);

        start(QStringLiteral("[AlarmT3]\nHigh=8\nLow=0\n"));
        SampleTick slow;
        slow.intervalSeconds = 2;
        link(LinkChange::OnLine);
        m_events.publish(slow);
        m_feature->showWindow();
        Ui::AlarmWindow& ui = m_feature->window()->ui();
        ui.Tabs->setCurrentIndex(1);
        ui.SettingsTable->item(2, column)->setText(typed);
        QCOMPARE(ui.SettingsMessage->text(), message);
        QCOMPARE(ui.ApplyButton->isEnabled(), message.isEmpty());
        if (message.isEmpty()) {
            ui.ApplyButton->click();
            QCOMPARE(*m_feature->rules().settings().channels[2].high, 8.5);
            // Read back as a file written by hand would be.
            QVERIFY(readAll(path(QStringLiteral("thermavo.INI")))
                        .contains(QStringLiteral("[AlarmT3]\nHigh=8.5\nLow=0\n")));
        }
        link(LinkChange::OffLine);
    }

    void soundRepeatsUntilAcknowledged_data() {
        QTest::addColumn<QString>("reason");
        QTest::newRow("played") << "";
        QTest::newRow("no sound server") << "the desktop sound could not be played: No such driver";
    }

    void soundRepeatsUntilAcknowledged() {
        QFETCH(QString, reason);
        start(QStringLiteral("[AlarmT3]\nHigh=5\n[Alarms]\nSound=1\n"));
        const auto player = std::make_shared<CountingPlayer>(reason.toStdString());
        m_feature->setSoundPlayer(player);
        QSignalSpy tried(m_feature.get(), &AlarmFeature::soundTried);
        QSignalSpy problems(m_feature.get(), &AlarmFeature::problem);
        link(LinkChange::OnLine);
        tick(4.0f);
        QCOMPARE(player->plays, 0);
        tick(6.0f);
        QTRY_COMPARE_WITH_TIMEOUT(tried.count(), 1, kSettleMs);
        QCOMPARE(tried[0][0].toString(), reason);
        for (int second = 1; second < 10; ++second)
            tick(6.0f);
        QCOMPARE(player->plays, 1);
        tick(6.0f);
        QTRY_COMPARE_WITH_TIMEOUT(tried.count(), 2, kSettleMs);
        // Cleared, still to be acknowledged: it goes on.
        for (int second = 0; second < 10; ++second)
            tick(2.0f);
        QTRY_COMPARE_WITH_TIMEOUT(tried.count(), 3, kSettleMs);
        QCOMPARE(problems.count(), reason.isEmpty() ? 0 : 1);
        QCOMPARE(m_feature->soundProblem(), reason);
        m_feature->showWindow();
        QCOMPARE(m_feature->window()->ui().SoundLabel->isVisible(), !reason.isEmpty());
        if (!reason.isEmpty())
            QVERIFY(m_feature->window()->ui().SoundLabel->text().contains(reason));

        m_feature->acknowledgeAll();
        QVERIFY(!m_feature->sounding());
        for (int second = 0; second < 25; ++second)
            tick(2.0f);
        QTest::qWait(100);
        QCOMPARE(player->plays, 3);
        link(LinkChange::OffLine);
    }

    void soundSwitchedInTheWindow() {
        start(QStringLiteral("[AlarmT3]\nHigh=5\n"));
        const auto player = std::make_shared<CountingPlayer>(std::string());
        m_feature->setSoundPlayer(player);
        link(LinkChange::OnLine);
        tick(6.0f);
        QVERIFY(!m_feature->sounding());
        m_feature->showWindow();
        Ui::AlarmWindow& ui = m_feature->window()->ui();
        ui.SoundBox->setChecked(true);
        ui.ApplyButton->click();
        QVERIFY(readAll(path(QStringLiteral("thermavo.INI"))).contains(QStringLiteral("Sound=1")));
        QVERIFY(m_feature->sounding());
        QTRY_COMPARE_WITH_TIMEOUT(player->plays, 1, kSettleMs);
        ui.SoundBox->setChecked(false);
        ui.ApplyButton->click();
        QVERIFY(!m_feature->sounding());
        m_feature->acknowledgeAll();
        link(LinkChange::OffLine);
    }

    // The real desktop sound with a sound service that is not there: the failure is told, the
    // next try connects anew, and the repeat goes on.
    void desktopSoundWithoutService() {
#ifdef THERMAVO_CANBERRA
        qputenv("CANBERRA_DRIVER", "none-such");
        const std::unique_ptr<SoundPlayer> direct = makeSystemSoundPlayer();
        for (int attempt = 0; attempt < 2; ++attempt)
            QVERIFY(QString::fromStdString(direct->play())
                        .startsWith(QStringLiteral("the desktop sound could not be played: ")));

        start(QStringLiteral("[AlarmT3]\nHigh=5\n[Alarms]\nSound=1\n"));
        QSignalSpy tried(m_feature.get(), &AlarmFeature::soundTried);
        link(LinkChange::OnLine);
        tick(6.0f);
        QTRY_COMPARE_WITH_TIMEOUT(tried.count(), 1, kSettleMs);
        QVERIFY(!tried[0][0].toString().isEmpty());
        m_now = m_now.addSecs(10);
        tick(6.0f);
        QTRY_COMPARE_WITH_TIMEOUT(tried.count(), 2, kSettleMs);
        QVERIFY(m_feature->sounding());
        QVERIFY(m_feature->statusLabel().isVisible());
        m_feature->acknowledgeAll();
        link(LinkChange::OffLine);
        qunsetenv("CANBERRA_DRIVER");
#else
        QSKIP("built without libcanberra");
#endif
    }

    void programsRunOneAtATimeInOrder() {
        QFile script(path(QStringLiteral("queue")));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho \"start $THERMAVO_ALARM_EVENT\" >> \"$1/order\"\nsleep 0.1\n"
                     "echo \"end $THERMAVO_ALARM_EVENT\" >> \"$1/order\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        start(QStringLiteral("[AlarmT3]\nHigh=5\n[Alarms]\nProgram=%1 %2\n")
                  .arg(script.fileName(), m_folder.path()));
        link(LinkChange::OnLine);
        tick(6.0f);
        m_feature->acknowledgeAll();
        tick(4.0f);
        QTRY_COMPARE_WITH_TIMEOUT(readAll(path(QStringLiteral("order"))),
                                  QStringLiteral("start raised\nend raised\n"
                                                 "start acknowledged\nend acknowledged\n"
                                                 "start cleared\nend cleared\n"),
                                  kSettleMs);
        link(LinkChange::OffLine);
    }

    void programFailuresLoggedAndShown_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("reason");

        QTest::newRow("missing") << "/nonexistent/alarm-hook"
                                 << "could not be started";
        QTest::newRow("failing") << "/bin/false"
                                 << "ended with code 1";
        QTest::newRow("running too long") << "/bin/sleep 30"
                                          << "was ended after running too long";
    }

    void programFailuresLoggedAndShown() {
        QFETCH(QString, program);
        QFETCH(QString, reason);

        QFile::remove(path(QStringLiteral("data/alarms/alarms.csv")));
        start(QStringLiteral("[AlarmT3]\nHigh=5\n[Alarms]\nProgram=%1\n").arg(program));
        m_feature->program().setTimeLimit(300);
        QSignalSpy problems(m_feature.get(), &AlarmFeature::problem);
        QSignalSpy events(m_feature.get(), &AlarmFeature::alarmEvent);
        link(LinkChange::OnLine);
        tick(6.0f);
        QTRY_COMPARE_WITH_TIMEOUT(problems.count(), 1, kSettleMs);
        QVERIFY2(problems[0][0].toString().contains(reason), qPrintable(problems[0][0].toString()));
        QVERIFY(logText().contains(QStringLiteral(",high,,,,\"program failed: \"\"")));
        // The alarm itself went on.
        QCOMPARE(events.count(), 1);
        QVERIFY(m_feature->statusLabel().isVisible());
        m_feature->acknowledgeAll();
        link(LinkChange::OffLine);
    }
};

// The private session bus goes in the environment before the application reads it.
int main(int argc, char** argv) {
    const pid_t bus = alarmtest::startPrivateBus();
    int result = 0;
    {
        QApplication app(argc, argv);
        AlarmFeatureTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    alarmtest::stopPrivateBus(bus);
    return result;
}

#include "test_alarmfeature.moc"
