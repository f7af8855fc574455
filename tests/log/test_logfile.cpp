#include "log/codepage.h"
#include "log/logfile.h"
#include "log/sylklog.h"
#include "log/tablog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#ifndef _WIN32
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace thermavo;

Q_DECLARE_METATYPE(thermavo::LogChannels)
Q_DECLARE_METATYPE(thermavo::RegionalSettings)

namespace {

constexpr LocalDateTime kStart{2024, 12, 8, 15, 12};
const QByteArray kSylkHeader = "ID;PThermavo\r\nP;PGeneral\r\nP;Pd/mmm/yyyy\\ hh:mm:ss\r\n"
                               "F;P0;DG0G8\r\nF;P1;FG0G;C1\r\nF;W1 1 20\r\nF;W2 9 8\r\n";

// A record of the failure tests: T1 to T8, 125 bytes in SYLK, 61 without its line end in TAB.
const QByteArray kSylkCells = "C;X2;K21.13\r\nC;X3;K-3.40\r\nC;X4;K0.00\r\nC;X5;K0.00\r\n"
                              "C;X6;K0.00\r\nC;X7;K0.00\r\nC;X8;K0.00\r\nC;X9;K0.00\r\n";
const QByteArray kTabLine = "08/12/2024 15:12:00\t21.13\t-3.40\t0.00\t0.00\t0.00\t0.00\t0.00\t0.00";

QByteArray sylkRow(int row) {
    return "C;Y" + QByteArray::number(row) + ";X1;K45634.6333333333\r\n";
}

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

// Writes the failure tests' record: row `row` of a SYLK log, or a TAB record.
void writeRecord(LogFile& log, bool sylk, int row) {
    const LogChannels values = channels({21.125f, -3.4f, 0, 0, 0, 0, 0, 0});
    sylk ? writeSylkRecord(log, row, kStart, values) : writeTabRecord(log, kStart, values, {});
}

#ifndef _WIN32

// Makes a file append-only for as long as it lives or until lift(): the file can grow but cannot
// be cut, like a medium that takes writes but refuses every other change.
class AppendOnly {
public:
    explicit AppendOnly(std::string path) : m_path(std::move(path)) { m_error = set(true); }
    ~AppendOnly() { lift(); }
    AppendOnly(const AppendOnly&) = delete;
    AppendOnly& operator=(const AppendOnly&) = delete;
    // Empty when the file system and the user's rights allowed it.
    const QString& error() const { return m_error; }
    void lift() {
        if (m_error.isEmpty() && !m_lifted) {
            m_lifted = true;
            QVERIFY2(set(false).isEmpty(), "the append-only attribute stays");
        }
    }

private:
    QString set(bool on) const {
        const int fd = ::open(m_path.c_str(), O_RDONLY);
        int flags = 0;
        bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
        ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        const QString error = ok ? QString() : QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        return error;
    }

    std::string m_path;
    QString m_error;
    bool m_lifted = false;
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
        chmod(path("readonly").c_str(), 0644);
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

    void failedWriteCutsBackToLastLine() {
#ifdef _WIN32
        QSKIP(kNoFullMedium);
#else
        LogFile log;
        log.open(path("full"), LogFile::Mode::Create);
        {
            const FileSizeLimit limit(10);
            QVERIFY_THROWS_EXCEPTION(IoError, log.writeAndPush("0123\r\n456789ABCDEF"));
        }
        QCOMPARE(contents(path("full")), "0123\r\n");
        log.writeAndPush("xy");
        QCOMPARE(contents(path("full")), "0123\r\nxy");
        log.writeLine("tail");
        {
            const FileSizeLimit limit(10);
            QVERIFY_THROWS_EXCEPTION(IoError, log.close());
        }
        QVERIFY(!log.isOpen());
        QCOMPARE(contents(path("full")), "0123\r\n");
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

    // The texts made from the regional settings reach the file through the writer's encoder:
    // on Windows the system's code page, here a Latin-1 stand-in on every platform as well. A
    // character the code page lacks takes one "?", so the fields beside it stay whole.
    void tabRecordInCodePage_data() {
        QTest::addColumn<RegionalSettings>("regional");
        QTest::addColumn<int>("codePage"); // 0: the stand-in
        QTest::addColumn<QByteArray>("stamp");
        auto twelveHour = [](const char* date, const char* pm, bool first) {
            RegionalSettings regional;
            regional.shortDatePattern = date;
            regional.hourLeadingZero = false;
            regional.twelveHour = true;
            regional.pmDesignator = pm;
            regional.designatorFirst = first;
            return regional;
        };
        QTest::newRow("stand-in, converted")
            << twelveHour("M/d/yyyy", "µ", false) << 0 << QByteArray("12/8/2024 3:12:00 \xb5");
        QTest::newRow("stand-in, a character it lacks")
            << twelveHour("M/d/yyyy", "μ.μ.", false) << 0 << QByteArray("12/8/2024 3:12:00 ?.?.");
#ifdef _WIN32
        QTest::newRow("Greek in 1253") << twelveHour("d/M/yyyy", "μ.μ.", false) << 1253
                                       << QByteArray("8/12/2024 3:12:00 \xec.\xec.");
        QTest::newRow("Korean in 949") << twelveHour("yy. M. d.", "오후", true) << 949
                                       << QByteArray("24. 12. 8. \xbf\xc0\xc8\xc4 3:12:00");
        QTest::newRow("Korean on a Western PC, 1252")
            << twelveHour("yy. M. d.", "오후", true) << 1252 << QByteArray("24. 12. 8. ?? 3:12:00");
        // No look-alike letter: a spreadsheet would take "p" for a real designator.
        QTest::newRow("Greek on a Western PC, 1252")
            << twelveHour("d/M/yyyy", "π.μ.", false) << 1252
            << QByteArray("8/12/2024 3:12:00 ?.?.");
        // Windows' own pattern, with a narrow no-break space, which code page 1251 lacks.
        RegionalSettings bulgarian;
        bulgarian.shortDatePattern = "d.MM.yy\u202f'г.'";
        bulgarian.hourLeadingZero = false;
        QTest::newRow("Bulgarian date in 1251")
            << bulgarian << 1251 << QByteArray("8.12.24 \xe3. 15:12:00");
        QTest::newRow("the UTF-8 code page")
            << bulgarian << 65001 << QByteArray("8.12.24\xe2\x80\xaf\xd0\xb3. 15:12:00");
#endif
    }
    void tabRecordInCodePage() {
        QFETCH(RegionalSettings, regional);
        QFETCH(int, codePage);
        QFETCH(QByteArray, stamp);
        const LogTextEncoder encode = [codePage](std::string_view text) -> std::string {
            if (codePage == 0) {
                return QString::fromUtf8(text.data(), qsizetype(text.size()))
                    .toLatin1()
                    .toStdString();
            }
#ifdef _WIN32
            return codePageText(text, static_cast<unsigned>(codePage));
#else
            return {};
#endif
        };
        LogFile log;
        const std::string file = path(qPrintable(QTest::currentDataTag() + QString(".txt")));
        openTabLog(log, file);
        writeTabRecord(log, kStart, channels({21.125f, -3.4f}), regional, encode);
        closeTabLog(log);
        QCOMPARE(contents(file), stamp + "\t21.13\t-3.40\t\t\t\t\t\t\r\n");
    }

    // A folder named outside the ANSI code page of a Western Windows is the folder it names.
    void logInFolderOutsideTheAnsiCodePage_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<QString>("folder");
        QTest::newRow("SYLK, Cyrillic") << true << QStringLiteral("ЖЖЖ");
        QTest::newRow("TAB, Japanese") << false << QStringLiteral("日本語");
    }
    void logInFolderOutsideTheAnsiCodePage() {
        QFETCH(bool, sylk);
        QFETCH(QString, folder);
        QVERIFY(QDir(m_dir.path()).mkpath(folder));
        const std::string file = m_dir.filePath(folder + QStringLiteral("/log")).toStdString();
        LogFile log;
        sylk ? openSylkLog(log, file) : openTabLog(log, file);
        writeRecord(log, sylk, 1);
        sylk ? closeSylkLog(log) : closeTabLog(log);
        QCOMPARE(contents(file),
                 sylk ? kSylkHeader + sylkRow(1) + kSylkCells + "E\r\n" : kTabLine + "\r\n");
    }

    // Records are written while the file may grow to `limit` bytes, then one more without a
    // limit, then the log is closed while it may grow to `closeLimit` bytes (-1: no limit).
    void failedWriteLeavesWholeLines_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("limitedRecords");
        QTest::addColumn<int>("failedRecords");
        QTest::addColumn<QByteArray>("afterFailure");
        QTest::addColumn<qint64>("closeLimit");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray row1 = kSylkHeader + sylkRow(1) + kSylkCells;
        QTest::newRow("SYLK time stamp cut")
            << true << QByteArray() << qint64(110) << 1 << 1 << kSylkHeader << qint64(-1)
            << kSylkHeader + sylkRow(2) + kSylkCells + "E\r\n";
        // The third record's buffer goes out when the file holds "C;X2;K21" of the second.
        QTest::newRow("SYLK cell cut to a shorter number")
            << true << QByteArray() << qint64(258) << 3 << 1 << row1 + sylkRow(2) << qint64(-1)
            << row1 + sylkRow(2) + sylkRow(4) + kSylkCells + "E\r\n";
        QTest::newRow("SYLK end record cut")
            << true << QByteArray() << qint64(-1) << 0 << 0 << QByteArray() << qint64(224) << row1;
        QTest::newRow("TAB value cut to a shorter number")
            << false << QByteArray() << qint64(22) << 1 << 1 << QByteArray() << qint64(-1)
            << kTabLine + "\r\n";
        QTest::newRow("TAB earlier record stays")
            << false << QByteArray() << qint64(85) << 2 << 1 << kTabLine + "\r\n"
            << qint64(-1) << kTabLine + "\r\n" + kTabLine + "\r\n";
        // The earlier record's line end was still buffered, so its line was not complete.
        QTest::newRow("TAB earlier line end cut")
            << false << QByteArray() << qint64(62) << 2 << 1 << QByteArray() << qint64(-1)
            << kTabLine + "\r\n";
        QTest::newRow("TAB file without line end")
            << false << QByteArray("old") << qint64(-1) << 0 << 0 << QByteArray("old") << qint64(-1)
            << "old\r\n" + kTabLine + "\r\n";
        QTest::newRow("TAB file without line end never cut into")
            << false << QByteArray("old") << qint64(4) << 1 << 1 << QByteArray("old") << qint64(-1)
            << "old\r\n" + kTabLine + "\r\n";
        QTest::newRow("TAB line end at close")
            << false << QByteArray("old\r\n") << qint64(-1) << 0 << 0 << QByteArray("old\r\n")
            << qint64(66) << QByteArray("old\r\n");
    }
    void failedWriteLeavesWholeLines() {
#ifdef _WIN32
        QSKIP(kNoFullMedium);
#else
        QFETCH(bool, sylk);
        QFETCH(QByteArray, existing);
        QFETCH(qint64, limit);
        QFETCH(int, limitedRecords);
        QFETCH(int, failedRecords);
        QFETCH(QByteArray, afterFailure);
        QFETCH(qint64, closeLimit);
        QFETCH(QByteArray, expected);
        const std::string file = path(qPrintable(QTest::currentDataTag()));
        writeFile(file, existing);
        int row = 0;
        LogFile log;
        auto record = [&] { writeRecord(log, sylk, ++row); };
        sylk ? openSylkLog(log, file) : openTabLog(log, file);
        int failed = 0;
        if (limit >= 0) {
            const FileSizeLimit sizeLimit(static_cast<rlim_t>(limit));
            for (int i = 0; i < limitedRecords; ++i) {
                try {
                    record();
                } catch (const IoError&) {
                    ++failed;
                }
            }
        }
        QCOMPARE(failed, failedRecords);
        QCOMPARE(contents(file), afterFailure);
        record();
        if (closeLimit < 0) {
            sylk ? closeSylkLog(log) : closeTabLog(log);
        } else {
            const FileSizeLimit sizeLimit(static_cast<rlim_t>(closeLimit));
            QVERIFY_THROWS_EXCEPTION(IoError, sylk ? closeSylkLog(log) : closeTabLog(log));
        }
        QVERIFY(!log.isOpen());
        QCOMPARE(contents(file), expected);
#endif
    }

    // A file that cannot be cut back takes nothing more after its broken line until the cut
    // succeeds; a close while it fails reports the failure. The third record is still buffered
    // in SYLK when the cut succeeds, pushed and lost in TAB.
    void uncutFileTakesNothingMore_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QByteArray>("afterFailure");
        QTest::addColumn<bool>("cutPossibleAgain");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray sylkBroken = kSylkHeader + sylkRow(1) + kSylkCells + "C;Y2;X1;K45634.63";
        const QByteArray tabBroken = kTabLine + "\r\n08/12/2024 ";
        QTest::newRow("SYLK, medium back") << true << qint64(240) << sylkBroken << true
                                           << kSylkHeader + sylkRow(1) + kSylkCells + sylkRow(3) +
                                                  kSylkCells + sylkRow(4) + kSylkCells + "E\r\n";
        QTest::newRow("SYLK, medium gone")
            << true << qint64(240) << sylkBroken << false << sylkBroken;
        QTest::newRow("TAB, medium back")
            << false << qint64(74) << tabBroken << true << kTabLine + "\r\n" + kTabLine + "\r\n";
        QTest::newRow("TAB, medium gone") << false << qint64(74) << tabBroken << false << tabBroken;
    }
    void uncutFileTakesNothingMore() {
#ifdef _WIN32
        QSKIP(kNoFullMedium);
#else
        QFETCH(bool, sylk);
        QFETCH(qint64, limit);
        QFETCH(QByteArray, afterFailure);
        QFETCH(bool, cutPossibleAgain);
        QFETCH(QByteArray, expected);
        const std::string file = path(qPrintable(QTest::currentDataTag()));
        int row = 0;
        LogFile log;
        auto record = [&] { writeRecord(log, sylk, ++row); };
        sylk ? openSylkLog(log, file) : openTabLog(log, file);
        record();
        AppendOnly appendOnly(file);
        if (!appendOnly.error().isEmpty()) {
            QSKIP(
                qPrintable("No append-only files here, so no cut can fail: " + appendOnly.error()));
        }
        {
            const FileSizeLimit sizeLimit(static_cast<rlim_t>(limit));
            QVERIFY_THROWS_EXCEPTION(IoError, record());
        }
        QCOMPARE(contents(file), afterFailure);
        try {
            record();
        } catch (const IoError&) {
            // Dropped like any failed record; what matters is what reached the file.
        }
        QCOMPARE(contents(file), afterFailure);
        if (cutPossibleAgain) {
            appendOnly.lift();
            record();
            sylk ? closeSylkLog(log) : closeTabLog(log);
        } else {
            QVERIFY_THROWS_EXCEPTION(IoError, sylk ? closeSylkLog(log) : closeTabLog(log));
        }
        QVERIFY(!log.isOpen());
        QCOMPARE(contents(file), expected);
#endif
    }
};

QTEST_APPLESS_MAIN(TestLogFile)
#include "test_logfile.moc"
