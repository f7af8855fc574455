#include "app/features.h"
#include "app/frmMain.h"
#include "events/runpublisher.h"
#include "filesizelimit.h"
#include "harness.h"
#include "history/historyfeature.h"
#include "history/historyplot.h"
#include "history/historywindow.h"
#include "history/runlistwindow.h"
#include "history/storedrange.h"
#include "link/datapacket.h"
#include "runs/rundatabase.h"
#include "ui/fileedit.h"
#include "ui/integerfield.h"
#include "ui/stripchart.h"
#include "ui_frmMain.h"
#include "ui_runlistwindow.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

// The real window on line to thermavo-sim: the run it records is what the history window shows,
// and the log it writes reads back as the samples it logged.

using namespace thermavo;
using namespace thermavo::harness;

namespace {

constexpr int kSylkRow = 0;
constexpr int kTabRow = 1;
constexpr int kQuietSampleSeconds = 1000;
constexpr int kSettleMs = 10'000;
constexpr int kPort = 231;
constexpr int kKilledPort = 232;
// The argument that makes this program the recording program of runKilledListsAsCrashed.
constexpr char kRecordingChild[] = "--recording-child";

struct Tick {
    QDateTime when;
    TickValues values;
};

} // namespace

class HistoryEndToEndTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    QDateTime m_now;
    std::optional<int> m_chosenPort;
    std::vector<QString> m_messages;
    std::unique_ptr<TMainForm> m_form;

    MainFormServices services() {
        return harness::endToEndServices(
            [this] { return m_now; }, [this] { return m_chosenPort; },
            [this](const QString& text) { m_messages.push_back(text); },
            m_folder.filePath(QStringLiteral("thermavo.INI")), dataFolder());
    }

    Ui::TMainForm& ui() { return m_form->ui(); }
    QString dataFolder() const { return m_folder.filePath(QStringLiteral("data")); }

    void switchOnLine() {
        m_chosenPort = kPort;
        ui().OnLineButton->click();
        QVERIFY(m_form->onLine());
    }

    // One tick of the sample clock a second after the last, once the board has replied twice.
    void tick(QSignalSpy& replies, std::vector<Tick>& ticks) {
        const qsizetype target = replies.count() + 2;
        QTRY_VERIFY_WITH_TIMEOUT(replies.count() >= target, kSettleMs);
        m_now = m_now.addSecs(1);
        m_form->SampleIntervalTimerTimer();
        Tick done{m_now, {}};
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            const ChannelState& state = m_form->channels()[static_cast<std::size_t>(channel)];
            done.values[static_cast<std::size_t>(channel)] =
                state.Valid ? state.Filtered : kNoSample;
        }
        ticks.push_back(done);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        QVERIFY2(QFile::exists(simulatorPath()), qPrintable(simulatorPath()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_folder.path()));
    }

    void init() {
        m_messages.clear();
        m_now = QDateTime(QDate(2024, 12, 8), QTime(15, 12, 0));
        QFile::remove(m_folder.filePath(QStringLiteral("thermavo.INI")));
        QDir(dataFolder()).removeRecursively();
        m_form = std::make_unique<TMainForm>(services());
        ui().SampleIntervalField->setValue(kQuietSampleSeconds);
        m_form->IntervalFieldChange();
    }

    void cleanup() {
        if (m_form)
            m_form->close();
        m_form.reset();
    }

    void wholeRunAndItsLog_data() {
        QTest::addColumn<int>("row");
        QTest::newRow("SYLK") << kSylkRow;
        QTest::newRow("TAB") << kTabRow;
    }

    void wholeRunAndItsLog() {
        QFETCH(int, row);
        const QString log = m_folder.filePath(row == kSylkRow ? "run.slk" : "run.txt");
        QFile::remove(log);
        Simulator board(kPort, {"--rate", "20", "--seed", "7"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        std::vector<Tick> ticks;

        switchOnLine();
        ui().LoggingType->setCurrentIndex(row);
        m_form->LoggingTypeClick();
        (row == kSylkRow ? ui().SylkFileEdit : ui().TABFileEdit)->setText(log);
        ui().LogOnButton->click();
        QVERIFY(m_form->logOpen());
        for (int count = 0; count < 6; ++count)
            tick(replies, ticks);
        // Ten minutes off line: a break in the run, and no records in the log.
        ui().OnLineButton->click();
        QVERIFY(!m_form->onLine());
        m_now = m_now.addSecs(600);
        switchOnLine();
        for (int count = 0; count < 5; ++count)
            tick(replies, ticks);
        ui().LogOnButton->click();
        QVERIFY(!m_form->logOpen());
        QVERIFY(m_messages.empty());

        // Ctrl+H in the main window shows every sample of the run.
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QTest::keyClick(m_form.get(), Qt::Key_H, Qt::ControlModifier);
        HistoryWindow* history = m_form->features().history().window();
        QVERIFY(history != nullptr);
        QVERIFY(history->isVisible());
        QVERIFY(history->showingRun());
        const RunStore& run = history->shownStore();
        QCOMPARE(run.size(), ticks.size());
        QCOMPARE(run.segmentStarts(), (std::vector<std::size_t>{6}));
        for (std::size_t index = 0; index < ticks.size(); ++index) {
            QCOMPARE(run.time(index), ticks[index].when.toMSecsSinceEpoch());
            for (int channel = 0; channel < kHistoryChannels; ++channel) {
                const float expected = ticks[index].values[static_cast<std::size_t>(channel)];
                QCOMPARE(hasSample(run.value(index, channel)), hasSample(expected));
                if (hasSample(expected))
                    QCOMPARE(run.value(index, channel), expected);
            }
        }
        // The 8-channel board filled every channel.
        QVERIFY(hasSample(run.value(0, 7)));
        QCOMPARE(history->plot().xAxis->range().upper, secondsOf(run.time(run.size() - 1)));

        // The run on disk holds the same ticks, to the hundredth, with the break in its changes.
        HistoryFeature& feature = m_form->features().history();
        feature.flushStore();
        QVERIFY(!feature.storePath().isEmpty());
        {
            runs::RunDatabase stored(feature.storePath().toStdString());
            const std::vector<runs::RunInfo> runs = stored.runs();
            QCOMPARE(runs.size(), std::size_t{1});
            QCOMPARE(runs[0].state, runs::RunState::Recording);
            QCOMPARE(runs[0].ticks, static_cast<std::int64_t>(ticks.size()));
            const std::vector<runs::StoredTick> back =
                stored.ticks(runs[0].id, 0, std::numeric_limits<std::int64_t>::max(), 1000);
            QCOMPARE(back.size(), ticks.size());
            for (std::size_t index = 0; index < ticks.size(); ++index) {
                QCOMPARE(back[index].ms, ticks[index].when.toMSecsSinceEpoch());
                QCOMPARE(back[index].utcOffsetSeconds, ticks[index].when.offsetFromUtc());
                for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
                    const float expected = ticks[index].values[channel];
                    QCOMPARE(back[index].channels[channel].valid, hasSample(expected));
                    if (hasSample(expected))
                        QCOMPARE(runs::toHundredths(back[index].channels[channel].filtered),
                                 runs::toHundredths(expected));
                }
            }
            int onLine = 0;
            for (const runs::StoredChange& change : stored.changes(runs[0].id))
                onLine += change.kind == static_cast<int>(LinkChange::OnLine);
            QCOMPARE(onLine, 2);
        }

        // The log the window wrote reads back as the samples it logged.
        history->readLog(log);
        QTRY_VERIFY_WITH_TIMEOUT(!history->busy(), kSettleMs);
        QVERIFY(m_messages.empty());
        const RunStore& read = history->shownStore();
        QVERIFY(!history->showingRun());
        QCOMPARE(read.size(), ticks.size());
        QCOMPARE(read.segmentStarts(), (std::vector<std::size_t>{6}));
        for (std::size_t index = 0; index < ticks.size(); ++index) {
            QCOMPARE(read.time(index) / 1000, ticks[index].when.toMSecsSinceEpoch() / 1000);
            for (int channel = 0; channel < kHistoryChannels; ++channel) {
                const float expected = ticks[index].values[static_cast<std::size_t>(channel)];
                QCOMPARE(hasSample(read.value(index, channel)), hasSample(expected));
                if (hasSample(expected))
                    QVERIFY(std::fabs(read.value(index, channel) - expected) <= 0.0051f);
            }
        }
    }

    // The strip chart itself stays as it is: it offers the ways into the features, a
    // double-click opens the history, and the status bar over it stays empty.
    void stripChartOpensTheHistory() {
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        StripChart& chart = *ui().Chart1;
        QCOMPARE(chart.contextMenuPolicy(), Qt::ActionsContextMenu);
        QStringList texts;
        for (const QAction* action : chart.actions())
            texts << action->text();
        QCOMPARE(texts, (QStringList{"Show the whole run", "Open a log file…", "Runs on disk…",
                                     "Alarms…", "Publish to a broker…"}));
        QCOMPARE(chart.actions().first()->shortcut(), QKeySequence(QStringLiteral("Ctrl+H")));
        QVERIFY(m_form->features().history().window() == nullptr);

        QTest::mouseMove(&chart, chart.rect().center());
        QTest::mouseDClick(&chart, Qt::LeftButton, {}, chart.rect().center());
        QTest::mouseRelease(&chart, Qt::LeftButton, {}, chart.rect().center());
        QVERIFY(m_form->features().history().window() != nullptr);
        QVERIFY(m_form->features().history().window()->isVisible());
        QVERIFY(ui().StatusBar->currentMessage().isEmpty());

        // Closing the main window closes the history with it.
        m_form->close();
        QVERIFY(!m_form->features().history().window()->isVisible());
    }

    // The program killed while on line; started again, it lists that run as ended by a crash,
    // holding every tick up to a few seconds before the kill, and opens it.
    void runKilledListsAsCrashed() {
        Simulator board(kKilledPort, {"--rate", "10"});
        QVERIFY(board.waitUntilReady());
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QCoreApplication::applicationFilePath(),
                      {kRecordingChild, QString::number(kKilledPort), dataFolder()});
        int published = 0;
        QElapsedTimer waited;
        waited.start();
        // Commits come every five seconds: twelve ticks see two of them land.
        while (published < 12 && waited.elapsed() < 20000) {
            program.waitForReadyRead(100);
            while (program.canReadLine())
                published = program.readLine().trimmed().toInt();
        }
        QCOMPARE(published, 12);
        program.kill();
        QVERIFY(program.waitForFinished(kSettleMs));

        HistoryFeature& feature = m_form->features().history();
        QTRY_VERIFY_WITH_TIMEOUT(!feature.storePath().isEmpty(), kSettleMs);
        QVERIFY(m_messages.empty());
        feature.showRuns();
        RunListWindow* list = feature.runList();
        QVERIFY(list != nullptr);
        QVERIFY(list->isVisible());
        QTableWidget& table = *list->ui().RunTable;
        QCOMPARE(table.rowCount(), 1);
        QCOMPARE(table.item(0, 4)->text(), QStringLiteral("crashed"));
        QCOMPARE(table.item(0, 2)->text(), QStringLiteral("Vexor08"));
        // A tick a second: at most five seconds of them and the one on its way are lost.
        const int kept = table.item(0, 3)->text().toInt();
        QVERIFY2(kept >= published - 6 && kept <= published,
                 qPrintable(QStringLiteral("%1 of %2").arg(kept).arg(published)));
        QVERIFY(list->ui().DeleteButton->isEnabled() == false);
        table.selectRow(0);
        QVERIFY(list->ui().DeleteButton->isEnabled());
        list->ui().OpenButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(m_form->features().history().window() != nullptr, kSettleMs);
        HistoryWindow& history = *m_form->features().history().window();
        QTRY_VERIFY_WITH_TIMEOUT(!history.showingRun(), kSettleMs);
        QVERIFY(history.showingStoredRun());
        QCOMPARE(static_cast<int>(history.shownTicks()), kept);
        // The span in view comes from the disk off the window's thread.
        QTRY_VERIFY_WITH_TIMEOUT(history.shownRange() != nullptr, kSettleMs);
        const RangeAnswer& range = *history.shownRange();
        QCOMPARE(static_cast<int>(range.ticks), kept);
        QVERIFY(!range.points[7].empty());
        QVERIFY(hasSample(static_cast<float>(range.points[7].front().value)));

        // Deleted, it is gone from the list and the disk.
        list->ui().DeleteButton->click();
        QCOMPARE(table.rowCount(), 0);
        feature.flushStore();
        runs::RunDatabase stored(feature.storePath().toStdString());
        QVERIFY(stored.runs().empty());
    }

    // A run longer than memory keeps: memory holds its newest ticks, and the history window,
    // open on the run before, goes on with the run from the disk, every tick there.
    void longRunReadFromTheDisk() {
        Simulator board(kPort, {"--rate", "20", "--seed", "3"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        std::vector<Tick> ticks;
        HistoryFeature& feature = m_form->features().history();
        feature.setTailTicks(3);
        switchOnLine();
        tick(replies, ticks);
        feature.showRun();
        HistoryWindow& history = *feature.window();
        QVERIFY(!history.showingStoredRun());
        for (int count = 0; count < 6; ++count)
            tick(replies, ticks);
        QVERIFY(feature.run().size() < 6);
        // The window goes over at the first tick once the run is on disk.
        feature.flushStore();
        tick(replies, ticks);
        QVERIFY(history.showingStoredRun());
        QVERIFY(history.showingRun());
        // While the window follows the run on disk, each tick is committed at once (not with
        // the next commit, five seconds on) and shows as it lands.
        tick(replies, ticks);
        QTRY_COMPARE_WITH_TIMEOUT(history.shownTicks(), ticks.size(), 2500);
        QTRY_VERIFY_WITH_TIMEOUT(history.shownRange() != nullptr &&
                                     history.shownRange()->request.time == history.view().time() &&
                                     history.shownRange()->ticks == ticks.size(),
                                 kSettleMs);
        const RangeAnswer& range = *history.shownRange();
        QCOMPARE(range.level, -1);
        // The disk keeps hundredths of a degree.
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            const ChannelStatistics& found = range.statistics[static_cast<std::size_t>(channel)];
            float lowest = kNoSample;
            for (std::size_t at = 0; at < ticks.size(); ++at) {
                const float value = ticks[at].values[static_cast<std::size_t>(channel)];
                if (hasSample(value))
                    lowest = hasSample(lowest) ? std::min(lowest, value) : value;
            }
            QCOMPARE(hasSample(found.minimum) && found.count > 0, hasSample(lowest));
            if (hasSample(lowest))
                QVERIFY(std::abs(found.minimum - lowest) <= 0.0051f);
        }
    }

    // A full disk stops the run store with a text in the status bar; the window goes on.
    void fullDiskShowsInTheStatusBar() {
        Simulator board(kPort, {"--rate", "20"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        std::vector<Tick> ticks;
        switchOnLine();
        tick(replies, ticks);
        HistoryFeature& feature = m_form->features().history();
        feature.flushStore();
        QVERIFY(feature.storeStatus().isEmpty());
        auto* label = ui().StatusBar->findChild<QLabel*>(QStringLiteral("RunStoreLabel"));
        QVERIFY(label != nullptr);
        QVERIFY(label->isHidden());
        {
            const std::string wal = feature.storePath().toStdString() + "-wal";
            const FileSizeLimit limit(static_cast<rlim_t>(std::filesystem::file_size(wal)) + 1024);
            for (int count = 0; count < 3; ++count)
                tick(replies, ticks);
            feature.flushStore();
        }
        QTRY_COMPARE_WITH_TIMEOUT(feature.storeStatus(),
                                  QStringLiteral("History not saved: the disk is full"), kSettleMs);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QVERIFY(label->isVisible());
        QVERIFY(m_form->onLine());
        tick(replies, ticks);
        QCOMPARE(m_form->features().history().run().size(), ticks.size());
    }
};

namespace {

// The recording program of runKilledListsAsCrashed: the window as the program has it, on line
// to COM<port> with a one-second sample and its run store in `folder`. It says on standard output
// how many ticks it has published.
int runRecordingChild(int port, const QString& folder) {
    MainFormServices services = MainFormServices::system();
    services.regionalSettings = [] { return RegionalSettings{}; };
    services.choosePort = [port] { return std::optional<int>(port); };
    services.showMessage = [](QMessageBox::Icon, const QString&, const QString& text) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    };
    services.settingsFile = folder + QStringLiteral(".INI");
    services.dataFolder = folder;
    TMainForm form(services);
    Ui::TMainForm& ui = form.ui();
    ui.SampleIntervalField->setValue(1);
    form.IntervalFieldChange();
    int published = 0;
    QObject::connect(&form.events(), &RunPublisher::sampleTick, &form, [&published] {
        std::printf("%d\n", ++published);
        std::fflush(stdout);
    });
    ui.OnLineButton->click();
    if (!form.onLine())
        return 1;
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], kRecordingChild) == 0)
        return runRecordingChild(std::atoi(argv[2]), QString::fromLocal8Bit(argv[3]));
    application.setAttribute(Qt::AA_Use96Dpi, true);
    HistoryEndToEndTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_history_endtoend.moc"
