#include "app/features.h"
#include "app/frmMain.h"
#include "harness.h"
#include "history/historyfeature.h"
#include "history/historyplot.h"
#include "history/historywindow.h"
#include "link/datapacket.h"
#include "ui/fileedit.h"
#include "ui/integerfield.h"
#include "ui/stripchart.h"
#include "ui_frmMain.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <cmath>
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
        MainFormServices services;
        services.now = [this] { return m_now; };
        services.regionalSettings = [] { return RegionalSettings{}; };
        services.tickCount = [tick = std::uint32_t{0}]() mutable { return tick += 10; };
        services.showMessage = [this](QMessageBox::Icon, const QString&, const QString& text) {
            m_messages.push_back(text);
        };
        services.choosePort = [this] { return m_chosenPort; };
        services.settingsFile = m_folder.filePath(QStringLiteral("thermavo.INI"));
        return services;
    }

    Ui::TMainForm& ui() { return m_form->ui(); }

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
        QCOMPARE(texts, (QStringList{"Show the whole run", "Open a log file…", "Alarms…",
                                     "Publish to a broker…"}));
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
};

QTEST_MAIN(HistoryEndToEndTest)
#include "test_history_endtoend.moc"
