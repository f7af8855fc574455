#include "app/frmMain.h"
#include "harness.h"
#include "residentmemory.h"
#include "ui/fileedit.h"
#include "ui/integerfield.h"
#include "ui_frmMain.h"

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
            MainFormServices services = MainFormServices::system();
            services.showMessage = [&](QMessageBox::Icon, const QString&, const QString& text) {
                messages.push_back(text);
            };
            services.choosePort = [] { return std::optional<int>(kPort); };
            services.settingsFile = folder.filePath(QStringLiteral("thermavo.INI"));
            TMainForm form(services);
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
};

QTEST_MAIN(Soak)
#include "soak_mainform.moc"
