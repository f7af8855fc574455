#include "app/frmMain.h"
#include "harness.h"
#include "residentmemory.h"
#include "ui/fileedit.h"
#include "ui/integerfield.h"
#include "ui_frmMain.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

// A bounded soak: the window on line to a board sending at full line rate with faults mixed in,
// a sample every second, a SYLK log for the first half and a TAB log for the second. The length
// comes from THERMAVO_SOAK_SECONDS (20 s by default); bench/soak runs it for ten minutes.

using namespace thermavo;
using namespace thermavo::harness;

namespace {

constexpr int kDefaultSeconds = 20;
constexpr int kTabRow = 1;
constexpr int kPort = 241;
// Resident memory may move with the allocator, but a leak per reply or record at line rate
// would pass this within minutes.
constexpr qint64 kGrowthLimitKb = 2 * 1024;

int soakSeconds() {
    const int seconds = qEnvironmentVariableIntValue("THERMAVO_SOAK_SECONDS");
    return seconds > 0 ? seconds : kDefaultSeconds;
}

int reconnectCycles() {
    const int cycles = qEnvironmentVariableIntValue("THERMAVO_SOAK_CYCLES");
    return cycles > 0 ? cycles : 1;
}

// The real services, with the board on kPort, the settings in the folder and the messages kept.
MainFormServices soakServices(const QTemporaryDir& folder, std::vector<QString>& messages) {
    MainFormServices services = MainFormServices::system();
    services.showMessage = [&messages](QMessageBox::Icon, const QString&, const QString& text) {
        messages.push_back(text);
    };
    services.choosePort = [] { return std::optional<int>(kPort); };
    services.settingsFile = folder.filePath(QStringLiteral("thermavo.INI"));
    services.dataFolder = folder.filePath(QStringLiteral("data"));
    return services;
}

constexpr double kMillisecondsPerDay = 86'400'000.0;
constexpr int kReconnectPeriodMs = 2000;

} // namespace

class Soak : public QObject {
    Q_OBJECT

private slots:
    void lineRateWithFaultsAndBothLogs() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path()));
        const int threadsBefore = threadCount();
        const int descriptorsBefore = descriptorCount();
        const QString sylk = folder.filePath(QStringLiteral("soak.slk"));
        const QString tab = folder.filePath(QStringLiteral("soak.txt"));
        std::vector<QString> messages;
        qint64 warmRss = 0;
        qint64 endRss = 0;
        int sylkCount = 0;
        int tabCount = 0;
        qsizetype replies = 0;
        {
            Simulator board(kPort, {"--long", "--line-rate", "--seed", "11", "--fault", "garbage",
                                    "--fault", "out-of-range", "--fault", "no-end", "--fault-every",
                                    "97"});
            QVERIFY(board.waitUntilReady());
            TMainForm form(soakServices(folder, messages));
            // A plain count: a signal spy would keep every reply and grow the memory measured.
            QObject::connect(form.findChild<DataPacket*>(), &DataPacket::StringPacket, &form,
                             [&replies] { ++replies; });
            form.ui().SampleIntervalField->setValue(1);
            form.IntervalFieldChange();
            form.ui().OnLineButton->click();
            QVERIFY(form.onLine());

            const int half = soakSeconds() * 1000 / 2;
            form.ui().SylkFileEdit->setText(sylk);
            form.ui().LogOnButton->click();
            QVERIFY(form.logOpen());
            // Warm-up: the chart fills its 100 points and the allocator settles.
            QTest::qWait(half / 2);
            warmRss = memoryKb("VmRSS");
            QTest::qWait(half - half / 2);
            form.ui().LogOnButton->click();
            sylkCount = form.recordCount();

            form.ui().LoggingType->setCurrentIndex(kTabRow);
            form.LoggingTypeClick();
            form.ui().TABFileEdit->setText(tab);
            form.ui().LogOnButton->click();
            QVERIFY(form.logOpen());
            QTest::qWait(half);
            endRss = memoryKb("VmRSS");
            form.ui().LogOnButton->click();
            tabCount = form.recordCount();
            QVERIFY(form.close());
        }
        qInfo("soak %d s: replies %lld, records SYLK %d TAB %d, RSS warm %lld kB end %lld kB, "
              "peak %lld kB, threads %d/%d, descriptors %d/%d",
              soakSeconds(), static_cast<long long>(replies), sylkCount, tabCount,
              static_cast<long long>(warmRss), static_cast<long long>(endRss),
              static_cast<long long>(memoryKb("VmHWM")), threadsBefore, threadCount(),
              descriptorsBefore, descriptorCount());
        QVERIFY(messages.empty());
        // At 5760 bytes/s and 114 bytes a reply some 50 replies a second reach the window.
        QVERIFY(replies > 40 * soakSeconds());
        QVERIFY(sylkCount >= soakSeconds() / 2 - 2);
        QCOMPARE(sylkRows(readAll(sylk)), std::optional<int>(sylkCount));
        QCOMPARE(tabRecords(readAll(tab)), std::optional<int>(tabCount));
        if (kResidentMemoryIsMeaningful)
            QVERIFY2(endRss < warmRss + kGrowthLimitKb, "resident memory grows");
        QTRY_COMPARE(threadCount(), threadsBefore);
        QTRY_COMPARE(descriptorCount(), descriptorsBefore);
    }

    // The board killed and started again with the same arguments, cycle after cycle, while a
    // SYLK log runs: the window comes back by itself each time and the log goes on in the same
    // file, with a gap where the board was away. THERMAVO_SOAK_CYCLES gives the number of
    // cycles (1 by default); bench/soak --reconnect runs ten.
    void boardKilledAndRestartedAgainAndAgain() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path()));
        const int cycles = reconnectCycles();
        // Long enough on line to warm up, long enough away to make a clear gap.
        const int onLineMs = cycles > 1 ? 15'000 : 3000;
        const int awayMs = cycles > 1 ? 5000 : 2000;
        const int threadsBefore = threadCount();
        const int descriptorsBefore = descriptorCount();
        const QString sylk = folder.filePath(QStringLiteral("reconnect.slk"));
        const QStringList boardArguments = {"--long", "--line-rate", "--seed", "5"};
        std::vector<QString> messages;
        QList<qint64> rssAfterCycle;
        QList<qint64> backAfterMs;
        QList<QList<int>> startCommands;
        int records = 0;
        {
            TMainForm form(soakServices(folder, messages));
            form.ui().SampleIntervalField->setValue(1);
            form.IntervalFieldChange();
            auto board = std::make_unique<Simulator>(kPort, boardArguments);
            QVERIFY(board->waitUntilReady());
            form.ui().OnLineButton->click();
            QVERIFY(form.onLine());
            form.ui().SylkFileEdit->setText(sylk);
            form.ui().LogOnButton->click();
            QVERIFY(form.logOpen());
            for (int cycle = 0; cycle < cycles; ++cycle) {
                QTest::qWait(onLineMs);
                board.reset();
                QTRY_VERIFY_WITH_TIMEOUT(form.reconnecting(), 5000);
                QTest::qWait(awayMs);
                const QString received = folder.filePath(QStringLiteral("received-%1").arg(cycle));
                QElapsedTimer back;
                back.start();
                board = std::make_unique<Simulator>(kPort, boardArguments +
                                                               QStringList{"--log", received});
                QVERIFY(board->waitUntilReady());
                QTRY_VERIFY_WITH_TIMEOUT(form.onLine(), 3 * kReconnectPeriodMs);
                backAfterMs.append(back.elapsed());
                QTest::qWait(200);
                startCommands.append(receivedBytes(received));
                rssAfterCycle.append(memoryKb("VmRSS"));
            }
            QTest::qWait(onLineMs);
            form.ui().LogOnButton->click();
            records = form.recordCount();
            QVERIFY(form.close());
        }
        const QList<double> times = sylkRowTimes(readAll(sylk));
        QList<double> gapsMs;
        for (qsizetype row = 1; row < times.size(); ++row) {
            const double stepMs = (times[row] - times[row - 1]) * kMillisecondsPerDay;
            if (stepMs > 1500)
                gapsMs.append(stepMs);
        }
        QStringList gapTexts;
        for (const double gap : gapsMs)
            gapTexts << QString::number(gap / 1000, 'f', 1);
        QStringList backTexts;
        for (const qint64 ms : backAfterMs)
            backTexts << QString::number(ms / 1000.0, 'f', 1);
        qInfo("reconnect %d cycles of %d s on line and %d s away: records %d (rows %lld), gaps "
              "[%s] s, back after [%s] s, RSS after first cycle %lld kB last %lld kB, peak "
              "%lld kB, threads %d/%d, descriptors %d/%d",
              cycles, onLineMs / 1000, awayMs / 1000, records, static_cast<long long>(times.size()),
              qPrintable(gapTexts.join(' ')), qPrintable(backTexts.join(' ')),
              static_cast<long long>(rssAfterCycle.first()),
              static_cast<long long>(rssAfterCycle.last()),
              static_cast<long long>(memoryKb("VmHWM")), threadsBefore, threadCount(),
              descriptorsBefore, descriptorCount());
        QVERIFY(messages.empty());
        QCOMPARE(sylkRows(readAll(sylk)), std::optional<int>(records));
        // Each board was started exactly once, by the window's own return.
        for (const QList<int>& bytes : startCommands)
            QCOMPARE(bytes, QList<int>{0x6D});
        // One gap per absence, no longer than the absence, a retry period and two samples.
        QCOMPARE(gapsMs.size(), qsizetype(cycles));
        for (const double gap : gapsMs)
            QVERIFY(gap < awayMs + kReconnectPeriodMs + 3000);
        // A record a second while on line, none invented for the time away.
        const int onLineSeconds = (cycles + 1) * onLineMs / 1000;
        QVERIFY2(records >= onLineSeconds - 2 * (cycles + 1) && records <= onLineSeconds + cycles,
                 qPrintable(QString::number(records)));
        if (kResidentMemoryIsMeaningful && cycles > 1)
            QVERIFY2(rssAfterCycle.last() < rssAfterCycle.first() + kGrowthLimitKb,
                     "resident memory grows");
        QTRY_COMPARE(threadCount(), threadsBefore);
        QTRY_COMPARE(descriptorCount(), descriptorsBefore);
    }
};

QTEST_MAIN(Soak)
#include "soak_mainform.moc"
