#include "log/logfile.h"
#include "log/sylklog.h"
#include "log/tablog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

using namespace thermavo;

Q_DECLARE_METATYPE(thermavo::LogChannels)
Q_DECLARE_METATYPE(thermavo::RegionalSettings)

namespace {

constexpr LocalDateTime kStart{2024, 12, 8, 15, 12};
const QByteArray kSylkHeader = "ID;PThermavo\r\nP;PGeneral\r\nP;Pd/mmm/yyyy\\ hh:mm:ss\r\n"
                               "F;P0;DG0G8\r\nF;P1;FG0G;C1\r\nF;W1 1 20\r\nF;W2 9 8\r\n";

LogChannels channels(std::initializer_list<float> values) {
    LogChannels result;
    std::size_t k = 0;
    for (const float value : values) {
        result[k++] = {true, value};
    }
    return result;
}

QByteArray contents(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeFile(const std::string& path, const QByteArray& data) {
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
}

#ifdef _WIN32
constexpr char kNoFullMedium[] =
    "Windows has no per-process file size limit or always-full device to act as a full medium";
#else
// Lets the file grow to at most `bytes` for as long as it lives, like a medium that fills up.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }

private:
    rlimit m_saved{};
};
#endif

} // namespace

class TestLogFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::string path(const char* name) const { return m_dir.filePath(name).toStdString(); }

private slots:
    void openFailures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("append");
        QTest::newRow("empty name") << "" << false;
        QTest::newRow("missing folder") << "missing/log.txt" << true;
        QTest::newRow("a folder") << "." << true;
        QTest::newRow("read-only, create") << "readonly" << false;
        QTest::newRow("read-only, append") << "readonly" << true;
        QTest::newRow("second writer, create") << "held" << false;
        QTest::newRow("second writer, append") << "held" << true;
#ifndef _WIN32
        QTest::newRow("FIFO without reader") << "fifo" << true;
#endif
    }
    void openFailures() {
        QFETCH(QString, name);
        QFETCH(bool, append);
        const std::string file = name.isEmpty() ? std::string() : path(qPrintable(name));
        writeFile(path("readonly"), "keep\r\n");
        chmod(path("readonly").c_str(), 0444);
        writeFile(path("held"), "keep\r\n");
#ifndef _WIN32
        mkfifo(path("fifo").c_str(), 0666);
#endif
        LogFile holder;
        holder.open(path("held"), LogFile::Mode::Append);

        LogFile log;
        QVERIFY_THROWS_EXCEPTION(
            IoError, log.open(file, append ? LogFile::Mode::Append : LogFile::Mode::Create));
        QVERIFY(!log.isOpen());
        QCOMPARE(contents(path("readonly")), "keep\r\n");
        QCOMPARE(contents(path("held")), "keep\r\n");
    }

    void writeFailuresAreRaisedEachTime() {
#ifdef _WIN32
        QSKIP(kNoFullMedium);
#else
        LogFile log;
        log.open("/dev/full", LogFile::Mode::Append);
        log.writeLine("buffered");
        QVERIFY_THROWS_EXCEPTION(IoError, log.writeAndPush("x"));
        QVERIFY(log.isOpen());
        QVERIFY_THROWS_EXCEPTION(IoError, log.writeAndPush("x"));
        log.writeLine("left for close");
        QVERIFY_THROWS_EXCEPTION(IoError, log.close());
        QVERIFY(!log.isOpen());
#endif
    }

    void failedBytesAreDroppedAndFileReleased() {
#ifdef _WIN32
        QSKIP(kNoFullMedium);
#else
        LogFile log;
        log.open(path("full"), LogFile::Mode::Create);
        {
            const FileSizeLimit limit(10);
            QVERIFY_THROWS_EXCEPTION(IoError, log.writeAndPush("0123456789ABCDEF"));
        }
        log.writeAndPush("xy");
        QCOMPARE(contents(path("full")), "0123456789xy");
        log.writeLine("tail");
        {
            const FileSizeLimit limit(12);
            QVERIFY_THROWS_EXCEPTION(IoError, log.close());
        }
        LogFile next;
        next.open(path("full"), LogFile::Mode::Append);
        QVERIFY(next.isOpen());
#endif
    }

    void sylkTwoRecords() {
        LogFile log;
        openSylkLog(log, path("two.slk"));
        QCOMPARE(contents(path("two.slk")), "");
        writeSylkRecord(log, 1, kStart, channels({21.125f, -3.4f}));
        QCOMPARE(contents(path("two.slk")).size(), 128);
        LocalDateTime later = kStart;
        later.second = 2;
        writeSylkRecord(log, 2, later, channels({21.15f, -3.38f}));
        closeSylkLog(log);
        QCOMPARE(contents(path("two.slk")),
                 kSylkHeader + "C;Y1;X1;K45634.6333333333\r\nC;X2;K21.13\r\nC;X3;K-3.40\r\n"
                               "C;Y2;X1;K45634.6333564815\r\nC;X2;K21.15\r\nC;X3;K-3.38\r\nE\r\n");
    }

    void sylkRecord_data() {
        QTest::addColumn<LogChannels>("values");
        QTest::addColumn<QByteArray>("cells");
        QTest::newRow("closed before a record") << LogChannels{} << QByteArray();
        QTest::newRow("no channel") << LogChannels{} << QByteArray("C;Y7;X1;K45634.6333333333\r\n");
        LogChannels lastOnly;
        lastOnly[7] = {true, 150.0f};
        QTest::newRow("T8 in column 9")
            << lastOnly << QByteArray("C;Y7;X1;K45634.6333333333\r\nC;X9;K150.00\r\n");
        QTest::newRow("4 channels") << channels({1, 2, 3, -45})
                                    << QByteArray("C;Y7;X1;K45634.6333333333\r\nC;X2;K1.00\r\n"
                                                  "C;X3;K2.00\r\nC;X4;K3.00\r\nC;X5;K-45.00\r\n");
    }
    void sylkRecord() {
        QFETCH(LogChannels, values);
        QFETCH(QByteArray, cells);
        writeFile(path("record.slk"), "an earlier log\r\n");
        LogFile log;
        openSylkLog(log, path("record.slk"));
        if (!cells.isEmpty()) {
            writeSylkRecord(log, 7, kStart, values);
        }
        closeSylkLog(log);
        QCOMPARE(contents(path("record.slk")), kSylkHeader + cells + "E\r\n");
    }

    void tabRecord_data() {
        QTest::addColumn<LogChannels>("values");
        QTest::addColumn<QString>("decimal");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("example") << channels({21.125f, -3.4f}) << "."
                                 << QByteArray("08/12/2024 15:12:00\t21.13\t-3.40\t\t\t\t\t\t");
        QTest::newRow("comma") << channels({21.125f, -3.4f}) << ","
                               << QByteArray("08/12/2024 15:12:00\t21,13\t-3,40\t\t\t\t\t\t");
        QTest::newRow("4 channels")
            << channels({1, 2, 3, 4}) << "."
            << QByteArray("08/12/2024 15:12:00\t1.00\t2.00\t3.00\t4.00\t\t\t\t");
        QTest::newRow("no channel")
            << LogChannels{} << "." << QByteArray("08/12/2024 15:12:00\t\t\t\t\t\t\t\t");
    }
    void tabRecord() {
        QFETCH(LogChannels, values);
        QFETCH(QString, decimal);
        QFETCH(QByteArray, line);
        RegionalSettings regional;
        regional.decimalSeparator = decimal.toStdString();
        LogFile log;
        const std::string file = path(qPrintable(QTest::currentDataTag() + QString(".txt")));
        openTabLog(log, file);
        writeTabRecord(log, kStart, values, regional);
        QCOMPARE(contents(file), line);
        writeTabRecord(log, kStart, values, regional);
        QCOMPARE(contents(file), line + "\r\n" + line);
        closeTabLog(log);
        QCOMPARE(contents(file), line + "\r\n" + line + "\r\n");
        openTabLog(log, file);
        writeTabRecord(log, kStart, values, regional);
        closeTabLog(log);
        QCOMPARE(contents(file), line + "\r\n" + line + "\r\n" + line + "\r\n");
    }

    void recordAfterBrokenLineStartsOwnLine_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<qint64>("sizeLimit");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("file without line end")
            << false << QByteArray("old") << qint64(-1)
            << QByteArray("old\r\n08/12/2024\t\t\t\t\t\t\t\t\r\n");
        QTest::newRow("failed TAB record") << false << QByteArray() << qint64(5)
                                           << QByteArray("08/12\r\n08/12/2024\t\t\t\t\t\t\t\t\r\n");
        QTest::newRow("failed SYLK record")
            << true << QByteArray() << qint64(110)
            << kSylkHeader + "C;Y1;X1;K456\r\nC;Y2;X1;K45634\r\nE\r\n";
    }
    void recordAfterBrokenLineStartsOwnLine() {
        QFETCH(bool, sylk);
        QFETCH(QByteArray, existing);
        QFETCH(qint64, sizeLimit);
        QFETCH(QByteArray, expected);
        const std::string file = path(qPrintable(QTest::currentDataTag()));
        writeFile(file, existing);
        const LocalDateTime midnight{2024, 12, 8};
        LogFile log;
        sylk ? openSylkLog(log, file) : openTabLog(log, file);
        if (sizeLimit >= 0) {
#ifdef _WIN32
            QSKIP(kNoFullMedium);
#else
            const FileSizeLimit limit(static_cast<rlim_t>(sizeLimit));
            QVERIFY_THROWS_EXCEPTION(
                IoError, sylk ? writeSylkRecord(log, 1, midnight, channels({1, 2, 3, 4}))
                              : writeTabRecord(log, midnight, {}, {}));
#endif
        }
        sylk ? writeSylkRecord(log, 2, midnight, {}) : writeTabRecord(log, midnight, {}, {});
        sylk ? closeSylkLog(log) : closeTabLog(log);
        QCOMPARE(contents(file), expected);
    }
};

QTEST_APPLESS_MAIN(TestLogFile)
#include "test_logfile.moc"
