#include "filesizelimit.h"
#include "log/codepage.h"
#include "log/logfile.h"
#include "log/sylklog.h"
#include "log/tablog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#ifndef _WIN32
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

using namespace thermavo;

Q_DECLARE_METATYPE(thermavo::LogChannels)
Q_DECLARE_METATYPE(thermavo::RegionalSettings)
Q_DECLARE_METATYPE(QList<QByteArray>)

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
#endif

// Writes the failure tests' record: the next row of a SYLK log, or a TAB record.
void writeRecord(LogFile& log, bool sylk) {
    const LogChannels values = channels({21.125f, -3.4f, 0, 0, 0, 0, 0, 0});
    sylk ? writeSylkRecord(log, kStart, values) : writeTabRecord(log, kStart, values, {});
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

#ifdef _WIN32
constexpr bool kFolderSynced = false;
#else
constexpr bool kFolderSynced = true;
#endif

// Stands in for the disk: counts the syncs of files and of folders on the syncing thread, and
// can hold them up, as a slow medium does, until the test lets them go.
class SyncRecorder : public std::enable_shared_from_this<SyncRecorder> {
public:
    DiskSyncSettings settings(std::chrono::milliseconds period) {
        DiskSyncSettings settings;
        settings.period = period;
        settings.sync = [self = shared_from_this()](NativeFile file) { self->sync(file); };
        return settings;
    }
    void holdSyncs() {
        const std::lock_guard lock(m_mutex);
        m_holding = true;
    }
    void releaseSyncs() {
        {
            const std::lock_guard lock(m_mutex);
            m_holding = false;
        }
        m_changed.notify_all();
    }
    bool waitUntilHeld() {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [this] { return m_held; });
    }
    bool stillHeld() {
        const std::lock_guard lock(m_mutex);
        return m_held && m_holding;
    }
    bool waitForFileSyncs(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_fileSyncs >= count; });
    }
    int fileSyncs() {
        const std::lock_guard lock(m_mutex);
        return m_fileSyncs;
    }
    int folderSyncs() {
        const std::lock_guard lock(m_mutex);
        return m_folderSyncs;
    }
    std::uint64_t lastFileInode() {
        const std::lock_guard lock(m_mutex);
        return m_lastInode;
    }

private:
    static constexpr std::chrono::seconds kWait{10};

    void sync(NativeFile file) {
        bool folder = false;
        std::uint64_t inode = 0;
#ifdef _WIN32
        static_cast<void>(file);
#else
        struct stat info {};
        if (::fstat(file, &info) == 0) {
            folder = S_ISDIR(info.st_mode);
            inode = info.st_ino;
        }
#endif
        std::unique_lock lock(m_mutex);
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_holding; });
        ++(folder ? m_folderSyncs : m_fileSyncs);
        if (!folder)
            m_lastInode = inode;
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_holding = false;
    bool m_held = false;
    int m_fileSyncs = 0;
    int m_folderSyncs = 0;
    std::uint64_t m_lastInode = 0;
};

// Lets held syncs go however a test ends, before its log waits for its syncing thread.
struct SyncRelease {
    std::shared_ptr<SyncRecorder> recorder;
    ~SyncRelease() { recorder->releaseSyncs(); }
};

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

#ifndef _WIN32
    // The lock only keeps a second writer out: a file system that cannot lock (an NFS share
    // without a lock service) still takes the log; only another writer's lock refuses it. An
    // interrupted lock call is tried again. Each row: the lock call's failures before it would
    // succeed, as errno values.
    void lockFailures_data() {
        QTest::addColumn<QList<int>>("failures");
        QTest::addColumn<bool>("logs");
        QTest::addColumn<bool>("unlocked");
        QTest::newRow("locked") << QList<int>{} << true << false;
        QTest::newRow("in use") << QList<int>{EWOULDBLOCK} << false << false;
        QTest::newRow("interrupted, then locked") << QList<int>{EINTR, EINTR} << true << false;
        QTest::newRow("interrupted, then in use")
            << QList<int>{EINTR, EWOULDBLOCK} << false << false;
        QTest::newRow("no lock service") << QList<int>{ENOLCK} << true << true;
        QTest::newRow("no locks on this file system") << QList<int>{EOPNOTSUPP} << true << true;
        QTest::newRow("cannot lock this file") << QList<int>{EINVAL} << true << true;
    }
    void lockFailures() {
        QFETCH(QList<int>, failures);
        QFETCH(bool, logs);
        QFETCH(bool, unlocked);
        for (const bool append : {false, true}) {
            const std::string name = path(append ? "share-append.txt" : "share-create.txt");
            writeFile(name, "earlier\r\n");
            LogFile log;
            qsizetype calls = 0;
            log.setLockCall([&](int fd) {
                if (calls < failures.size()) {
                    errno = failures[calls++];
                    return -1;
                }
                ++calls;
                return ::flock(fd, LOCK_EX | LOCK_NB);
            });
            const auto mode = append ? LogFile::Mode::Append : LogFile::Mode::Create;
            if (!logs) {
                QVERIFY_THROWS_EXCEPTION(IoError, log.open(name, mode));
                QVERIFY(!log.isOpen());
                QCOMPARE(contents(name), "earlier\r\n");
                continue;
            }
            log.open(name, mode);
            QCOMPARE(log.unlocked(), unlocked);
            log.write("record\r\n");
            log.close();
            QCOMPARE(contents(name), append ? "earlier\r\nrecord\r\n" : "record\r\n");
        }
    }
#endif

    void writeFailuresAreRaisedEachTime() {
#ifdef _WIN32
        QSKIP(kNoFullMedium);
#else
        LogFile log;
        log.open("/dev/full", LogFile::Mode::Append);
        QVERIFY_THROWS_EXCEPTION(IoError, log.write("x\r\n"));
        QVERIFY(log.isOpen());
        QVERIFY_THROWS_EXCEPTION(IoError, log.write("x\r\n"));
        // Nothing waits for the close: a failed write took all of its text back.
        log.close();
        QVERIFY(!log.isOpen());
#endif
    }

    void failedWriteTakesAllOfItsTextBack() {
#ifdef _WIN32
        QSKIP(kNoFullMedium);
#else
        LogFile log;
        log.open(path("full"), LogFile::Mode::Create);
        {
            // The first 10 bytes go in, the rest fails: the write is taken back whole.
            const FileSizeLimit limit(10);
            QVERIFY_THROWS_EXCEPTION(IoError, log.write("0123\r\n456789ABCDEF\r\n"));
        }
        QCOMPARE(contents(path("full")), "");
        log.write("xy\r\n");
        QCOMPARE(contents(path("full")), "xy\r\n");
        {
            const FileSizeLimit limit(10);
            QVERIFY_THROWS_EXCEPTION(IoError, log.write("0123456789\r\n"));
        }
        QCOMPARE(contents(path("full")), "xy\r\n");
        log.close();
        QCOMPARE(contents(path("full")), "xy\r\n");
        LogFile next;
        next.open(path("full"), LogFile::Mode::Append);
        QVERIFY(next.isOpen());
#endif
    }

    // What is on disk while logging: the header from the opening on, every record whole from
    // the moment it is written.
    void sylkTwoRecords() {
        LogFile log;
        openSylkLog(log, path("two.slk"));
        QCOMPARE(contents(path("two.slk")), kSylkHeader);
        writeSylkRecord(log, kStart, channels({21.125f, -3.4f}));
        const QByteArray row1 = "C;Y1;X1;K45634.6333333333\r\nC;X2;K21.13\r\nC;X3;K-3.40\r\n";
        QCOMPARE(contents(path("two.slk")), kSylkHeader + row1);
        LocalDateTime later = kStart;
        later.second = 2;
        writeSylkRecord(log, later, channels({21.15f, -3.38f}));
        const QByteArray row2 = "C;Y2;X1;K45634.6333564815\r\nC;X2;K21.15\r\nC;X3;K-3.38\r\n";
        QCOMPARE(contents(path("two.slk")), kSylkHeader + row1 + row2);
        closeSylkLog(log);
        QCOMPARE(contents(path("two.slk")), kSylkHeader + row1 + row2 + "E\r\n");
    }

    void sylkRecord_data() {
        QTest::addColumn<LogChannels>("values");
        QTest::addColumn<QByteArray>("cells");
        QTest::newRow("closed before a record") << LogChannels{} << QByteArray();
        QTest::newRow("no channel") << LogChannels{} << QByteArray("C;Y1;X1;K45634.6333333333\r\n");
        LogChannels lastOnly;
        lastOnly[7] = {true, 150.0f};
        QTest::newRow("T8 in column 9")
            << lastOnly << QByteArray("C;Y1;X1;K45634.6333333333\r\nC;X9;K150.00\r\n");
        QTest::newRow("4 channels") << channels({1, 2, 3, -45})
                                    << QByteArray("C;Y1;X1;K45634.6333333333\r\nC;X2;K1.00\r\n"
                                                  "C;X3;K2.00\r\nC;X4;K3.00\r\nC;X5;K-45.00\r\n");
    }
    void sylkRecord() {
        QFETCH(LogChannels, values);
        QFETCH(QByteArray, cells);
        writeFile(path("record.slk"), "an earlier log\r\n");
        LogFile log;
        openSylkLog(log, path("record.slk"));
        if (!cells.isEmpty()) {
            writeSylkRecord(log, kStart, values);
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
        QCOMPARE(contents(file), line + "\r\n");
        writeTabRecord(log, kStart, values, regional);
        QCOMPARE(contents(file), line + "\r\n" + line + "\r\n");
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
        writeRecord(log, sylk);
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
        QTest::addColumn<bool>("closeFails");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray row1 = kSylkHeader + sylkRow(1) + kSylkCells;
        QTest::newRow("SYLK time stamp cut")
            << true << QByteArray() << qint64(110) << 1 << 1 << kSylkHeader << qint64(-1) << false
            << kSylkHeader + sylkRow(2) + kSylkCells + "E\r\n";
        // The second record would end as "C;X2;K21" of its first cell; it goes whole, and the
        // third, which finds the medium full at once, with it.
        QTest::newRow("SYLK cell cut to a shorter number")
            << true << QByteArray() << qint64(258) << 3 << 2 << row1 << qint64(-1) << false
            << row1 + sylkRow(4) + kSylkCells + "E\r\n";
        QTest::newRow("SYLK end record cut") << true << QByteArray() << qint64(-1) << 0 << 0
                                             << kSylkHeader << qint64(224) << true << row1;
        QTest::newRow("TAB value cut to a shorter number")
            << false << QByteArray() << qint64(22) << 1 << 1 << QByteArray() << qint64(-1) << false
            << kTabLine + "\r\n";
        QTest::newRow("TAB earlier record stays")
            << false << QByteArray() << qint64(85) << 2 << 1 << kTabLine + "\r\n"
            << qint64(-1) << false << kTabLine + "\r\n" + kTabLine + "\r\n";
        // The medium is full right after the earlier record's line end.
        QTest::newRow("TAB earlier record keeps its line end")
            << false << QByteArray() << qint64(63) << 2 << 1 << kTabLine + "\r\n"
            << qint64(-1) << false << kTabLine + "\r\n" + kTabLine + "\r\n";
        QTest::newRow("TAB file without line end")
            << false << QByteArray("old") << qint64(-1) << 0 << 0 << QByteArray("old") << qint64(-1)
            << false << "old [cut short]\r\n" + kTabLine + "\r\n";
        QTest::newRow("TAB file without line end never cut into")
            << false << QByteArray("old") << qint64(4) << 1 << 1 << QByteArray("old") << qint64(-1)
            << false << "old [cut short]\r\n" + kTabLine + "\r\n";
        // Every record went out whole: nothing is left for the close to write.
        QTest::newRow("TAB close on a full medium")
            << false << QByteArray("old\r\n") << qint64(-1) << 0 << 0 << QByteArray("old\r\n")
            << qint64(68) << false << "old\r\n" + kTabLine + "\r\n";
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
        QFETCH(bool, closeFails);
        QFETCH(QByteArray, expected);
        const std::string file = path(qPrintable(QTest::currentDataTag()));
        writeFile(file, existing);
        LogFile log;
        auto record = [&] { writeRecord(log, sylk); };
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
            if (closeFails) {
                QVERIFY_THROWS_EXCEPTION(IoError, sylk ? closeSylkLog(log) : closeTabLog(log));
            } else {
                sylk ? closeSylkLog(log) : closeTabLog(log);
            }
        }
        QVERIFY(!log.isOpen());
        QCOMPARE(contents(file), expected);
#endif
    }

    // A file that cannot be cut back takes nothing more after its broken line until the cut
    // succeeds; a close while it fails reports the failure. The third record, tried while the
    // cut fails, is lost.
    void uncutFileTakesNothingMore_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QByteArray>("afterFailure");
        QTest::addColumn<bool>("cutPossibleAgain");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray sylkBroken = kSylkHeader + sylkRow(1) + kSylkCells + "C;Y2;X1;K45634.63";
        const QByteArray tabBroken = kTabLine + "\r\n08/12/2024 ";
        QTest::newRow("SYLK, medium back")
            << true << qint64(240) << sylkBroken << true
            << kSylkHeader + sylkRow(1) + kSylkCells + sylkRow(4) + kSylkCells + "E\r\n";
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
        LogFile log;
        auto record = [&] { writeRecord(log, sylk); };
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

    void continuedName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("continued");
        QTest::newRow("first") << "/logs/run.slk" << 1 << "/logs/run-continued.slk";
        QTest::newRow("second") << "/logs/run.slk" << 2 << "/logs/run-continued-2.slk";
        QTest::newRow("last dot only")
            << "/logs/run.2024.slk" << 1 << "/logs/run.2024-continued.slk";
        QTest::newRow("no extension") << "/logs.d/run" << 3 << "/logs.d/run-continued-3";
        QTest::newRow("dot file") << "/logs/.run" << 1 << "/logs/.run-continued";
    }
    void continuedName() {
        QFETCH(QString, name);
        QFETCH(int, number);
        QFETCH(QString, continued);
        QCOMPARE(QString::fromStdString(continuedLogName(name.toStdString(), number)), continued);
    }

    // A file taken away between the first record and the second: what the second record finds,
    // and every file of the folder after a third record and the close.
    void fileTakenAwayWhileLogging_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("loss");
        QTest::addColumn<QString>("goesOnIn");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QList<QByteArray>>("files");
        const QByteArray first = sylkRow(1) + "C;X2;K21.13\r\n";
        const QByteArray second = sylkRow(2) + "C;X2;K21.13\r\n";
        const QByteArray line = "08/12/2024 15:12:00\t21.13\t\t\t\t\t\t\t\r\n";
        const int deleted = static_cast<int>(LogLoss::Deleted);
        const int replaced = static_cast<int>(LogLoss::Replaced);
        QTest::newRow("SYLK deleted") << true << "delete" << deleted << "log" << QStringList{"log"}
                                      << QList<QByteArray>{kSylkHeader + first + second + "E\r\n"};
        QTest::newRow("TAB deleted") << false << "delete" << deleted << "log" << QStringList{"log"}
                                     << QList<QByteArray>{line + line};
        QTest::newRow("SYLK moved away")
            << true << "move" << deleted << "log" << QStringList{"log", "moved"}
            << QList<QByteArray>{kSylkHeader + first + second + "E\r\n", kSylkHeader + first};
        QTest::newRow("SYLK replaced")
            << true << "replace" << replaced << "log-continued"
            << QStringList{"log", "log-continued"}
            << QList<QByteArray>{"saved\r\n", kSylkHeader + first + second + "E\r\n"};
        QTest::newRow("SYLK replaced, first continuation taken")
            << true << "replace, continuation taken" << replaced << "log-continued-2"
            << QStringList{"log", "log-continued", "log-continued-2"}
            << QList<QByteArray>{"saved\r\n", "taken\r\n", kSylkHeader + first + second + "E\r\n"};
        QTest::newRow("TAB replaced")
            << false << "replace" << replaced << "log" << QStringList{"log"}
            << QList<QByteArray>{"saved\r\n" + line + line};
        QTest::newRow("TAB replaced by a file without line end")
            << false << "replace without line end" << replaced << "log" << QStringList{"log"}
            << QList<QByteArray>{"saved [cut short]\r\n" + line + line};
    }
    void fileTakenAwayWhileLogging() {
#ifdef _WIN32
        QSKIP("Windows lets nobody delete, rename or replace a file open for logging");
#else
        QFETCH(bool, sylk);
        QFETCH(QString, action);
        QFETCH(int, loss);
        QFETCH(QString, goesOnIn);
        QFETCH(QStringList, names);
        QFETCH(QList<QByteArray>, files);
        QTemporaryDir folder;
        const auto in = [&](const QString& name) { return folder.filePath(name).toStdString(); };
        const std::string log = in("log");
        LogFile file;
        const LogChannels values = channels({21.125f});
        auto record = [&] {
            sylk ? writeSylkRecord(file, kStart, values) : writeTabRecord(file, kStart, values, {});
        };
        sylk ? openSylkLog(file, log) : openTabLog(file, log);
        QCOMPARE(file.followName().loss, LogLoss::None);
        record();
        if (action == "delete") {
            QVERIFY(QFile::remove(QString::fromStdString(log)));
        } else if (action == "move") {
            QVERIFY(
                QFile::rename(QString::fromStdString(log), QString::fromStdString(in("moved"))));
        } else {
            // As an editor or a spreadsheet saves: a new file, renamed over the log.
            if (action == "replace, continuation taken")
                writeFile(in("log-continued"), "taken\r\n");
            writeFile(in("saving"), action == "replace without line end" ? "saved" : "saved\r\n");
            QVERIFY(std::rename(in("saving").c_str(), log.c_str()) == 0);
        }
        const LogFile::Continuation continuation = file.followName();
        QCOMPARE(static_cast<int>(continuation.loss), loss);
        QCOMPARE(continuation.path, in(goesOnIn));
        // The record that found the loss is written, and the log goes on there.
        record();
        QCOMPARE(file.followName().loss, LogLoss::None);
        record();
        sylk ? closeSylkLog(file) : closeTabLog(file);
        QStringList found = QDir(folder.path()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(found, names);
        for (qsizetype index = 0; index < names.size(); ++index)
            QCOMPARE(contents(in(names[index])), files[index]);
#endif
    }

    // With nowhere to go on, records are not written anywhere, and the log follows as soon as
    // it can.
    void nothingToGoOnInYet() {
#ifdef _WIN32
        QSKIP("Windows lets nobody delete a file open for logging");
#else
        QTemporaryDir folder;
        const QString logs = folder.filePath(QStringLiteral("logs"));
        QVERIFY(QDir().mkpath(logs));
        const std::string log = (logs + "/log.slk").toStdString();
        LogFile file;
        openSylkLog(file, log);
        writeSylkRecord(file, kStart, channels({1}));
        QVERIFY(QDir(logs).removeRecursively());
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                file.followName();
                QFAIL("a log without a folder went on somewhere");
            } catch (const LogFileLost& lost) {
                QCOMPARE(lost.loss(), LogLoss::Deleted);
            }
        }
        QVERIFY(QDir().mkpath(logs));
        const LogFile::Continuation continuation = file.followName();
        QCOMPARE(continuation.loss, LogLoss::Deleted);
        writeSylkRecord(file, kStart, channels({2}));
        closeSylkLog(file);
        QCOMPARE(contents(log), kSylkHeader + sylkRow(1) + "C;X2;K2.00\r\nE\r\n");
#endif
    }

    // The syncing thread, with a sync that records what it was given: at most one sync a
    // period, the first write and the close synced at once, a new file's folder once.
    void syncsAtMostOnceAPeriod_data() {
        QTest::addColumn<bool>("create");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<int>("folderSyncs");
        QTest::newRow("created") << true << false << (kFolderSynced ? 1 : 0);
        QTest::newRow("emptied") << true << true << 0;
        QTest::newRow("appended to") << false << true << 0;
    }
    void syncsAtMostOnceAPeriod() {
        QFETCH(bool, create);
        QFETCH(bool, exists);
        QFETCH(int, folderSyncs);
        const std::string log = path(qPrintable(QTest::currentDataTag() + QString(".txt")));
        if (exists)
            writeFile(log, "old\r\n");
        const auto synced = std::make_shared<SyncRecorder>();
        {
            LogFile file(synced->settings(std::chrono::hours(1)));
            file.open(log, create ? LogFile::Mode::Create : LogFile::Mode::Append);
            file.write("one\r\n");
            QVERIFY(synced->waitForFileSyncs(1));
            for (int record = 0; record < 5; ++record)
                file.write("more\r\n");
            file.close();
            QVERIFY(synced->waitForFileSyncs(2));
        }
        QCOMPARE(synced->fileSyncs(), 2);
        QCOMPARE(synced->folderSyncs(), folderSyncs);
    }

    void syncFollowsWrites() {
        const auto synced = std::make_shared<SyncRecorder>();
        LogFile file(synced->settings(std::chrono::milliseconds(0)));
        file.open(path("follows.txt"), LogFile::Mode::Append);
        for (int record = 1; record <= 3; ++record) {
            file.write("record\r\n");
            QVERIFY(synced->waitForFileSyncs(record));
        }
        file.close();
        QVERIFY(synced->waitForFileSyncs(4));
#ifndef _WIN32
        // The syncs reached the log's own file, through a descriptor of the syncing thread's.
        struct stat info {};
        QCOMPARE(::stat(path("follows.txt").c_str(), &info), 0);
        QCOMPARE(synced->lastFileInode(), static_cast<std::uint64_t>(info.st_ino));
#endif
    }

    // A sync held up on a slow medium: writes, the close and the next log never wait for it.
    // (On Windows the held duplicate keeps its file shared for reading only, so only a log of
    // the same file, switched on again at once, would wait for that sync.)
    void slowSyncHoldsNobodyUp() {
        const auto synced = std::make_shared<SyncRecorder>();
        synced->holdSyncs();
        LogFile file(synced->settings(std::chrono::milliseconds(0)));
        const SyncRelease release{synced};
        file.open(path("slow.txt"), LogFile::Mode::Append);
        file.write("first\r\n");
        QVERIFY(synced->waitUntilHeld());
        for (int record = 0; record < 10; ++record)
            file.write("record\r\n");
        file.close();
        file.open(path("slow-next.txt"), LogFile::Mode::Append);
        file.write("next log\r\n");
        file.close();
        qsizetype lines = 11;
#ifndef _WIN32
        // The file is free for the next writer at once: the held duplicate has no lock.
        file.open(path("slow.txt"), LogFile::Mode::Append);
        file.write("same file again\r\n");
        file.close();
        ++lines;
#endif
        QVERIFY(synced->stillHeld());
        QCOMPARE(contents(path("slow.txt")).count('\n'), lines);
        QCOMPARE(contents(path("slow-next.txt")), "next log\r\n");
    }

    // A log of the same file switched on again at once opens: on Windows it waits for the last
    // sync of the previous one, however that sync ends while the first try fails (this once
    // failed now and then, under Wine, when it had just ended). Held: the sync ends a while after
    // the close; racing: real syncs, closed and opened again and again.
    void sameFileAgainAtOnce_data() {
        QTest::addColumn<bool>("held");
        QTest::addColumn<int>("rounds");
        QTest::newRow("sync held past the close") << true << 1;
        QTest::newRow("racing the last sync") << false << 300;
    }
    void sameFileAgainAtOnce() {
        QFETCH(bool, held);
        QFETCH(int, rounds);
        const auto synced = std::make_shared<SyncRecorder>();
        if (held)
            synced->holdSyncs();
        LogFile file(synced->settings(std::chrono::milliseconds(0)));
        const SyncRelease release{synced};
        const std::string name = path(held ? "again-held.txt" : "again-racing.txt");
        file.open(name, LogFile::Mode::Create);
        for (int round = 0; round < rounds; ++round) {
            file.write("record\r\n");
            file.close();
            std::thread releaser;
            if (held) {
                QVERIFY(synced->waitUntilHeld());
                releaser = std::thread([synced] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    synced->releaseSyncs();
                });
            }
            file.open(name, LogFile::Mode::Append);
            if (releaser.joinable())
                releaser.join();
        }
        file.write("last\r\n");
        file.close();
        QCOMPARE(contents(name).count('\n'), qsizetype(rounds + 1));
    }
};

QTEST_APPLESS_MAIN(TestLogFile)
#include "test_logfile.moc"
