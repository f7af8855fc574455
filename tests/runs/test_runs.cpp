#include "filesizelimit.h"
#include "history/storedrun.h"
#include "runs/rundatabase.h"
#include "runs/runrecorder.h"
#include "runs/runwriter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sqlite3.h>
#include <thread>

using namespace thermavo;
using namespace thermavo::runs;

namespace {

constexpr char kRecordingChild[] = "--recording-child";
constexpr char kWritingChild[] = "--writing-child";
constexpr int kWrittenTicks = 2000;
// 2026-10-25 01:00 UTC: central Europe's clocks go back from UTC+2 to UTC+1.
constexpr qint64 kClocksGoBack = 1792890000000;

SampleTick tickAt(std::int64_t ms, std::vector<float> filtered, std::int32_t offset = 3600,
                  int board = 0) {
    SampleTick tick;
    tick.msSinceEpoch = ms;
    tick.utcOffsetSeconds = offset;
    tick.boardRow = board;
    for (std::size_t channel = 0; channel < filtered.size(); ++channel) {
        if (!std::isnan(filtered[channel]))
            tick.channels[channel] = {true, filtered[channel] + 0.5f, filtered[channel]};
    }
    return tick;
}

std::string pathIn(const QTemporaryDir& folder, const char* name) {
    return folder.filePath(QString::fromLatin1(name)).toStdString();
}

// A run of `count` ticks a second apart from `startMs`, channel 0 counting up from 20 °C in
// hundredths, committed and closed.
std::int64_t writeRun(RunDatabase& database, std::int64_t startMs, int count) {
    RunWriter writer(database, startMs, 3600, 0);
    for (int index = 0; index < count; ++index)
        writer.add(tickAt(startMs + index * 1000LL, {20.0f + static_cast<float>(index) / 100}));
    writer.close(startMs + count * 1000LL, 3600);
    return writer.run();
}

QByteArray readAll(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const std::string& path, const QByteArray& bytes) {
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Runs the SQL on a connection of its own to the file, as another program would: the first
// column of its last row, or -1 when it failed or gave none.
int sqlOn(const std::string& path, const char* sql) {
    sqlite3* other = nullptr;
    int found = -1;
    const auto row = [](void* out, int, char** values, char**) {
        *static_cast<int*>(out) = values[0] != nullptr ? std::atoi(values[0]) : -1;
        return 0;
    };
    const bool ran = sqlite3_open(path.c_str(), &other) == SQLITE_OK &&
                     sqlite3_exec(other, sql, row, &found, nullptr) == SQLITE_OK;
    sqlite3_close(other);
    return ran ? found : -1;
}

RecorderSettings settingsFor(const std::string& folder) {
    RecorderSettings settings;
    settings.folder = folder;
    settings.commitEvery = std::chrono::milliseconds(100);
    settings.nowMs = [] { return kClocksGoBack; };
    settings.utcOffsetSeconds = [] { return 3600; };
    return settings;
}

} // namespace

class RunsTest : public QObject {
    Q_OBJECT

private slots:
    void tickBytesRoundTrip_data() {
        QTest::addColumn<QList<float>>("values");
        QTest::addColumn<int>("largestSize");
        const float none = std::numeric_limits<float>::quiet_NaN();
        QTest::newRow("eight at room temperature")
            << QList<float>{21.5f, 22.25f, 19.99f, 20.0f, 23.0f, 24.5f, 18.0f, 25.0f} << 33;
        QTest::newRow("none") << QList<float>{none, none, none, none, none, none, none, none} << 1;
        QTest::newRow("some, below zero")
            << QList<float>{-40.0f, none, 0.0f, none, -0.01f, 150.0f, none, none} << 20;
        QTest::newRow("furnace") << QList<float>{1350.25f} << 8;
    }

    void tickBytesRoundTrip() {
        QFETCH(QList<float>, values);
        QFETCH(int, largestSize);
        const SampleTick tick = tickAt(0, std::vector<float>(values.begin(), values.end()));
        const std::string bytes = encodeTick(tick.channels);
        QVERIFY2(static_cast<int>(bytes.size()) <= largestSize,
                 qPrintable(QString::number(bytes.size())));
        const std::optional<TickChannels> back = decodeTick(bytes);
        QVERIFY(back.has_value());
        for (std::size_t channel = 0; channel < kTickChannels; ++channel) {
            const ChannelTick& sent = tick.channels[channel];
            const ChannelTick& got = (*back)[channel];
            QCOMPARE(got.valid, sent.valid);
            if (sent.valid) {
                QCOMPARE(toHundredths(got.sample), toHundredths(sent.sample));
                QCOMPARE(toHundredths(got.filtered), toHundredths(sent.filtered));
            }
        }
        // Every shorter piece is refused, as are bytes left over.
        for (std::size_t size = 0; size < bytes.size(); ++size)
            QVERIFY(!decodeTick(std::string_view(bytes).substr(0, size)).has_value());
        QVERIFY(!decodeTick(bytes + '\x01').has_value());
    }

    // Blocks of a minute, an hour and a day, from ticks with gaps and channels without samples.
    void summariesOfEveryLevel_data() {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("firstCount");
        QTest::addColumn<int>("firstLowest");
        QTest::addColumn<int>("firstHighest");
        QTest::addColumn<qint64>("firstSum");
        QTest::addColumn<int>("channel1Count");
        // 150 ticks every 30 s from 23:00 UTC: 75 minutes, into the next day; then 10 ticks
        // without any sample, in 5 minutes more.
        QTest::newRow("minute") << 0 << 80 << 2 << 2000 << 2001 << qint64(4001) << 1;
        QTest::newRow("hour") << 1 << 2 << 120 << 2000 << 2119 << qint64(120 * 2000 + 119 * 60)
                              << 60;
        QTest::newRow("day") << 2 << 2 << 120 << 2000 << 2119 << qint64(120 * 2000 + 119 * 60)
                             << 60;
    }

    void summariesOfEveryLevel() {
        QFETCH(int, level);
        QFETCH(int, blocks);
        QFETCH(int, firstCount);
        QFETCH(int, firstLowest);
        QFETCH(int, firstHighest);
        QFETCH(qint64, firstSum);
        QFETCH(int, channel1Count);
        QTemporaryDir folder;
        RunDatabase database(pathIn(folder, "runs.sqlite"));
        const std::int64_t start = 1767222000000; // 2025-12-31 23:00 UTC
        const float none = std::numeric_limits<float>::quiet_NaN();
        RunWriter writer(database, start, 0, 0);
        for (int index = 0; index < 150; ++index) {
            writer.add(tickAt(start + index * 30000LL,
                              {20.0f + static_cast<float>(index) / 100, index % 2 ? 5.0f : none},
                              0));
            if (index % 7 == 0)
                writer.commit();
        }
        for (int index = 150; index < 160; ++index)
            writer.add(tickAt(start + index * 30000LL, {}, 0));
        writer.close(start + 160 * 30000LL, 0);
        const std::vector<StoredBlock> found =
            database.blocks(writer.run(), level, 0, std::numeric_limits<std::int64_t>::max());
        QCOMPARE(static_cast<int>(found.size()), blocks);
        const ChannelSummary& first = found.front().summary[0];
        QCOMPARE(found.front().startMs, blockStart(start, level));
        QCOMPARE(static_cast<int>(first.count), firstCount);
        QCOMPARE(first.lowest, firstLowest);
        QCOMPARE(first.highest, firstHighest);
        QCOMPARE(first.sum, firstSum);
        QCOMPARE(first.lowestMs, start);
        QCOMPARE(first.firstMs, start);
        QCOMPARE(first.lastMs, first.highestMs);
        QCOMPARE(static_cast<int>(found.front().summary[1].count), channel1Count);
        QCOMPARE(found.front().summary[2].count, 0u);
        QCOMPARE(found.front().ticks, static_cast<std::uint32_t>(firstCount));
        // The levels agree with the ticks: every tick counted once, every sample once.
        std::uint32_t samples = 0;
        std::uint32_t ticks = 0;
        for (const StoredBlock& block : found) {
            samples += block.summary[0].count;
            ticks += block.ticks;
        }
        QCOMPARE(samples, 150u);
        QCOMPARE(ticks, 160u);
        // The last block holds ticks without samples.
        QVERIFY(found.back().ticks > found.back().summary[0].count);
    }

    // A block says how many ticks it holds; one written before it did reads as 0, and a file of
    // that version is taken and marked as this one.
    void blockTickCount_data() {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<bool>("read");
        QTest::addColumn<int>("ticks");
        QTest::newRow("with the count") << QByteArray("\x07") << true << 7;
        QTest::newRow("written before the count") << QByteArray() << true << 0;
        QTest::newRow("a byte after the count") << QByteArray("\x07\x01") << false << 0;
        QTest::newRow("a count cut short") << QByteArray("\x87") << false << 0;
    }

    void blockTickCount() {
        QFETCH(QByteArray, ending);
        QFETCH(bool, read);
        QFETCH(int, ticks);
        const std::int64_t startMs = 1767222000000;
        BlockSummary summary{};
        summary[3].add(startMs + 500, 2012);
        std::string bytes = encodeSummary(summary, 7, startMs);
        QCOMPARE(bytes.back(), '\x07');
        bytes.pop_back();
        bytes += ending.toStdString();
        const std::optional<DecodedSummary> decoded = decodeSummary(bytes, startMs);
        QCOMPARE(decoded.has_value(), read);
        if (read) {
            QVERIFY(decoded->channels == summary);
            QCOMPARE(decoded->ticks, static_cast<std::uint32_t>(ticks));
        }
    }

    void versionOneFileTaken() {
        QTemporaryDir folder;
        const std::string path = pathIn(folder, "runs.sqlite");
        { RunDatabase database(path); }
        QCOMPARE(sqlOn(path, "PRAGMA user_version=1; PRAGMA user_version"), 1);
        const OpenedStore opened = openInFolder(folder.path().toStdString());
        QVERIFY2(opened.notice.empty(), opened.notice.c_str());
        QCOMPARE(opened.database->path(), path);
        QCOMPARE(sqlOn(path, "PRAGMA user_version"), 2);
    }

    // The night the clocks go back: the local hour 02:00-03:00 comes twice; ranges by UTC keep
    // every tick once, in order, each with the offset in force then.
    void rangesAcrossTheClocksGoingBack_data() {
        QTest::addColumn<qint64>("fromMs");
        QTest::addColumn<qint64>("toMs");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("firstOffset");
        QTest::addColumn<int>("lastOffset");
        const qint64 hour = 3600000;
        QTest::newRow("the whole night")
            << kClocksGoBack - 2 * hour << kClocksGoBack + 2 * hour << 241 << 7200 << 3600;
        QTest::newRow("the first 02:00-03:00")
            << kClocksGoBack - hour << kClocksGoBack - 1 << 60 << 7200 << 7200;
        QTest::newRow("the second 02:00-03:00")
            << kClocksGoBack << kClocksGoBack + hour - 1 << 60 << 3600 << 3600;
        QTest::newRow("across the change")
            << kClocksGoBack - 60000 << kClocksGoBack + 60000 << 3 << 7200 << 3600;
        QTest::newRow("before the run") << qint64(0) << kClocksGoBack - 3 * hour << 0 << 0 << 0;
    }

    void rangesAcrossTheClocksGoingBack() {
        QFETCH(qint64, fromMs);
        QFETCH(qint64, toMs);
        QFETCH(int, count);
        QFETCH(int, firstOffset);
        QFETCH(int, lastOffset);
        QTemporaryDir folder;
        RunDatabase database(pathIn(folder, "runs.sqlite"));
        const std::int64_t start = kClocksGoBack - 2 * 3600000LL;
        RunWriter writer(database, start, 7200, 0);
        for (int minute = 0; minute <= 240; ++minute) {
            const std::int64_t ms = start + minute * 60000LL;
            writer.add(tickAt(ms, {10.0f}, ms < kClocksGoBack ? 7200 : 3600));
        }
        writer.close(start + 241 * 60000LL, 3600);
        const std::vector<StoredTick> found = database.ticks(writer.run(), fromMs, toMs, 100000);
        QCOMPARE(static_cast<int>(found.size()), count);
        if (count == 0)
            return;
        QCOMPARE(found.front().utcOffsetSeconds, firstOffset);
        QCOMPARE(found.back().utcOffsetSeconds, lastOffset);
        for (std::size_t index = 1; index < found.size(); ++index) {
            QVERIFY(found[index].ms > found[index - 1].ms);
            QCOMPARE(found[index].utcOffsetSeconds, found[index].ms < kClocksGoBack ? 7200 : 3600);
        }
    }

    void clockSetBackKeepsTicksInOrder() {
        QTemporaryDir folder;
        RunDatabase database(pathIn(folder, "runs.sqlite"));
        RunWriter writer(database, 100000, 0, 0);
        for (const std::int64_t ms : {100000LL, 101000LL, 50000LL, 50000LL, 102000LL})
            writer.add(tickAt(ms, {1.0f}));
        writer.commit();
        const std::vector<StoredTick> found = database.ticks(writer.run(), 0, 200000, 100);
        QCOMPARE(found.size(), std::size_t{5});
        const std::vector<std::int64_t> expected{100000, 101000, 101001, 101002, 102000};
        for (std::size_t index = 0; index < found.size(); ++index)
            QCOMPARE(found[index].ms, expected[index]);
    }

    // The oldest runs go first, down to the limit; the current run and one another program is
    // recording stay whatever their size or age.
    void oldestRunsRemoved_data() {
        // The limit as a share of what the four runs take.
        QTest::addColumn<double>("maxShare");
        QTest::addColumn<qint64>("maxAgeDays");
        QTest::addColumn<QList<int>>("kept");
        QTest::newRow("no limit") << 0.0 << qint64(0) << QList<int>{0, 1, 2, 3};
        QTest::newRow("size: all fit") << 1.01 << qint64(0) << QList<int>{0, 1, 2, 3};
        QTest::newRow("size: room for three") << 0.8 << qint64(0) << QList<int>{1, 2, 3};
        QTest::newRow("size: room for two") << 0.55 << qint64(0) << QList<int>{2, 3};
        QTest::newRow("size: none fits") << 0.01 << qint64(0) << QList<int>{3};
        QTest::newRow("age: ten days") << 0.0 << qint64(10) << QList<int>{1, 2, 3};
        QTest::newRow("age: a day") << 0.0 << qint64(1) << QList<int>{2, 3};
        QTest::newRow("age and size") << 0.55 << qint64(10) << QList<int>{2, 3};
    }

    void oldestRunsRemoved() {
        QFETCH(double, maxShare);
        QFETCH(qint64, maxAgeDays);
        QFETCH(QList<int>, kept);
        QTemporaryDir folder;
        RunDatabase database(pathIn(folder, "runs.sqlite"));
        const std::int64_t day = 86400000;
        const std::int64_t now = 1767222000000;
        std::vector<std::int64_t> ids;
        // Three closed runs, 30, 5 and 0.5 days old, then the current one.
        for (const std::int64_t age : {30 * day, 5 * day, day / 2})
            ids.push_back(writeRun(database, now - age, 5000));
        RunWriter current(database, now, 3600, 0);
        for (int index = 0; index < 5000; ++index)
            current.add(tickAt(now + index * 1000LL, {20.0f}));
        current.commit();
        ids.push_back(current.run());
        const auto maxBytes =
            static_cast<std::int64_t>(maxShare * static_cast<double>(database.usedBytes()));
        database.removeOldRuns(maxBytes, maxAgeDays * day, now, current.run());
        QList<int> left;
        for (const RunInfo& run : database.runs())
            left << static_cast<int>(std::find(ids.begin(), ids.end(), run.id) - ids.begin());
        QCOMPARE(left, kept);
    }

    void runsListedWithTheirState() {
        QTemporaryDir folder;
        const std::string path = pathIn(folder, "runs.sqlite");
        RunDatabase database(path);
        const std::int64_t closed = writeRun(database, 1000000, 10);
        RunWriter open(database, 2000000, 7200, 2);
        open.add(tickAt(2000000, {1.0f}, 7200, 2));
        open.commit();
        // A run whose program is gone without closing it: no lock held.
        const std::int64_t crashed = database.beginRun(3000000, 0, 1);
        const std::vector<RunInfo> runs = database.runs();
        QCOMPARE(runs.size(), std::size_t{3});
        QCOMPARE(runs[0].id, closed);
        QCOMPARE(runs[0].state, RunState::Closed);
        QCOMPARE(runs[0].ticks, 10);
        QCOMPARE(runs[0].endMs, 1010000);
        QCOMPARE(runs[1].state, RunState::Recording);
        QCOMPARE(runs[1].boardRow, 2);
        QCOMPARE(runs[1].startOffset, 7200);
        QCOMPARE(runs[2].id, crashed);
        QCOMPARE(runs[2].state, RunState::Crashed);
        // Deleting a run takes all of it.
        database.deleteRun(closed);
        QCOMPARE(database.runs().size(), std::size_t{2});
        QVERIFY(database.ticks(closed, 0, 2000000, 100).empty());
        QVERIFY(database.blocks(closed, 0, 0, 2000000).empty());
    }

    // Files a disk or another program leaves: each stays exactly as it was and the history goes
    // on in a new file beside it, the user told which and why.
    void badFilesLeftAlone_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a text file") << "text"
                                     << "it is not a database";
        QTest::newRow("truncated") << "truncate"
                                   << "it is damaged";
        QTest::newRow("a page zeroed") << "zero"
                                       << "it is damaged";
        QTest::newRow("the first page zeroed") << "zero-first"
                                               << "it is not a database";
        QTest::newRow("another program's database") << "foreign"
                                                    << "it is not Thermavo's";
        QTest::newRow("a newer version") << "newer"
                                         << "a newer version of Thermavo wrote it";
    }

    void badFilesLeftAlone() {
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        QTemporaryDir folder;
        const std::string path = pathIn(folder, "runs.sqlite");
        {
            RunDatabase database(path);
            writeRun(database, 1000000, 20000);
            database.checkpoint(true);
        }
        // A file of the earlier version, which a sound one would be marked as this one.
        QCOMPARE(sqlOn(path, "PRAGMA user_version=1; PRAGMA user_version"), 1);
        QByteArray bytes = readAll(path);
        QVERIFY(bytes.size() > 20 * 4096);
        if (damage == "text") {
            bytes = "time;t1;t2\n12:00;20.5;21.0\n";
        } else if (damage == "truncate") {
            bytes.truncate(bytes.size() / 2);
        } else if (damage == "zero") {
            bytes.replace(8 * 4096, 4096, QByteArray(4096, '\0'));
        } else if (damage == "zero-first") {
            bytes.replace(0, 4096, QByteArray(4096, '\0'));
        } else {
            QFile::remove(QString::fromStdString(path));
            bytes.clear();
            const char* sql = damage == "foreign"
                                  ? "CREATE TABLE notes(text); INSERT INTO notes VALUES('mine'); "
                                    "SELECT count(*) FROM notes;"
                                  : "PRAGMA application_id=1414025814; PRAGMA user_version=9; "
                                    "CREATE TABLE runs(id); PRAGMA user_version;";
            QCOMPARE(sqlOn(path, sql), damage == "foreign" ? 1 : 9);
            bytes = readAll(path);
        }
        writeFile(path, bytes);
        const OpenedStore opened = openInFolder(folder.path().toStdString());
        QVERIFY(opened.database != nullptr);
        QCOMPARE(opened.database->path(), pathIn(folder, "runs-2.sqlite"));
        const QString notice = QString::fromStdString(opened.notice);
        QVERIFY2(notice.contains(QString::fromStdString(path) + " is left as it is: " + reason),
                 qPrintable(notice));
        QVERIFY2(notice.contains("runs-2.sqlite"), qPrintable(notice));
        QCOMPARE(readAll(path), bytes);
        QVERIFY(!QFile::exists(QString::fromStdString(path) + "-wal"));
        // The new file works.
        writeRun(*opened.database, 5000000, 3);
        QCOMPARE(opened.database->runs().size(), std::size_t{1});
    }

    // A program killed while it records: its run lists as crashed, with every tick it had queued
    // up to a second before the kill.
    void killedWhileRecording() {
        QTemporaryDir folder;
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {kRecordingChild, folder.path()});
        int queued = 0;
        QElapsedTimer waited;
        waited.start();
        // Ticks every 10 ms, commits every 100 ms: at least 150 ticks, 1.5 s in.
        while (queued < 150 && waited.elapsed() < 20000) {
            child.waitForReadyRead(100);
            while (child.canReadLine())
                queued = child.readLine().trimmed().toInt();
        }
        QVERIFY(queued >= 150);
        child.kill();
        QVERIFY(child.waitForFinished(5000));
        while (child.canReadLine())
            queued = child.readLine().trimmed().toInt();
        const OpenedStore opened = openInFolder(folder.path().toStdString());
        QVERIFY2(opened.notice.empty(), opened.notice.c_str());
        const std::vector<RunInfo> runs = opened.database->runs();
        QCOMPARE(runs.size(), std::size_t{1});
        QCOMPARE(runs[0].state, RunState::Crashed);
        const std::vector<StoredTick> ticks = opened.database->ticks(
            runs[0].id, 0, std::numeric_limits<std::int64_t>::max(), 1000000);
        QCOMPARE(static_cast<std::int64_t>(ticks.size()), runs[0].ticks);
        // A second of ticks at most is lost; those kept are the first ones, in order, whole.
        QVERIFY2(static_cast<int>(ticks.size()) >= queued - 100,
                 qPrintable(QString("%1 of %2").arg(ticks.size()).arg(queued)));
        for (std::size_t index = 0; index < ticks.size(); ++index) {
            QCOMPARE(ticks[index].ms, kClocksGoBack + static_cast<std::int64_t>(index) * 1000);
            QCOMPARE(toHundredths(ticks[index].channels[7].filtered),
                     static_cast<std::int64_t>(index % 1000));
        }
    }

    // Ticks that come no faster than half the commit time are each committed as they come (the
    // thread wakes once a tick); faster ones wait and go together, at most one commit in each
    // commit time. Either way nothing waits longer than that without a flush.
    void commitsFollowTheTicks_data() {
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("oneByOne");
        QTest::newRow("one and a half commit times apart") << 150 << 4 << true;
        QTest::newRow("back to back") << 0 << 2000 << false;
        QTest::newRow("a fiftieth of a commit time apart") << 2 << 100 << false;
    }

    void commitsFollowTheTicks() {
        QFETCH(int, gapMs);
        QFETCH(int, count);
        QFETCH(bool, oneByOne);
        QTemporaryDir folder;
        std::mutex mutex;
        std::vector<std::int64_t> committed;
        RecorderSettings settings = settingsFor(folder.path().toStdString());
        settings.onCommit = [&](std::int64_t, std::int64_t ticks) {
            const std::lock_guard lock(mutex);
            committed.push_back(ticks);
        };
        RunRecorder recorder(settings, [](const RecorderStatus&) {});
        QElapsedTimer clock;
        clock.start();
        for (int index = 0; index < count; ++index) {
            if (index > 0 && gapMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            recorder.add(tickAt(kClocksGoBack + index * 1000LL, {20.0f}));
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.committedTicks(), count, 2000);
        const auto elapsed = clock.elapsed();
        const std::lock_guard lock(mutex);
        QCOMPARE(committed.back(), count);
        QVERIFY(std::is_sorted(committed.begin(), committed.end()));
        if (oneByOne) {
            QCOMPARE(static_cast<int>(committed.size()), count);
        } else {
            const auto commitTimes =
                static_cast<std::size_t>(elapsed / settings.commitEvery.count() + 1);
            QVERIFY2(committed.size() <= commitTimes + 1,
                     qPrintable(QString("%1 commits in %2 ms").arg(committed.size()).arg(elapsed)));
        }
    }

    // While followed, each tick is committed as it comes, and what waited goes at once.
    void followedCommitsEachTick() {
        QTemporaryDir folder;
        RecorderSettings settings = settingsFor(folder.path().toStdString());
        settings.commitEvery = std::chrono::hours(1);
        RunRecorder recorder(settings, [](const RecorderStatus&) {});
        const auto add = [&](int from, int to) {
            for (int index = from; index < to; ++index)
                recorder.add(tickAt(kClocksGoBack + index * 1000LL, {20.0f}));
        };
        add(0, 1);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.committedTicks(), 1, 2000);
        add(1, 10);
        QTest::qWait(200);
        QCOMPARE(recorder.committedTicks(), 1);
        recorder.setFollowed(true);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.committedTicks(), 10, 2000);
        for (int index = 10; index < 20; ++index) {
            add(index, index + 1);
            QTRY_COMPARE_WITH_TIMEOUT(recorder.committedTicks(), index + 1, 2000);
        }
        recorder.setFollowed(false);
        add(20, 21);
        QTest::qWait(200);
        QCOMPARE(recorder.committedTicks(), 20);
        recorder.flush();
        QCOMPARE(recorder.committedTicks(), 21);
    }

    // The files copied while a recorder writes, as a power cut leaves them: the copy opens and
    // holds every tick committed before the copy began.
    void copiedWhileWriting() {
        QTemporaryDir folder;
        QTemporaryDir copy;
        std::atomic<bool> going{true};
        RecorderSettings settings = settingsFor(folder.path().toStdString());
        settings.commitEvery = std::chrono::milliseconds(5);
        RunRecorder recorder(settings, [](const RecorderStatus&) {});
        std::thread feeder([&] {
            for (int index = 0; going; ++index) {
                recorder.add(tickAt(kClocksGoBack + index * 1000LL,
                                    {20.0f, 21.0f, 22.0f, 23.0f, 24.0f, 25.0f, 26.0f, 27.0f}));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        for (int copies = 0; copies < 5; ++copies) {
            QTest::qWait(150);
            const std::int64_t committed = recorder.committedTicks();
            const std::string target = copy.filePath(QString::number(copies)).toStdString() + "/";
            std::filesystem::create_directories(target);
            // The log first: a checkpoint meanwhile only moves its pages into the file.
            std::filesystem::copy_file(pathIn(folder, "runs.sqlite-wal"),
                                       target + "runs.sqlite-wal");
            std::filesystem::copy_file(pathIn(folder, "runs.sqlite"), target + "runs.sqlite");
            const OpenedStore opened = openInFolder(target);
            QVERIFY2(opened.notice.empty(), opened.notice.c_str());
            const std::vector<RunInfo> runs = opened.database->runs();
            QCOMPARE(runs.size(), std::size_t{1});
            QVERIFY2(runs[0].ticks >= committed,
                     qPrintable(QString("%1 of %2").arg(runs[0].ticks).arg(committed)));
            QCOMPARE(
                static_cast<std::int64_t>(
                    opened.database
                        ->ticks(runs[0].id, 0, std::numeric_limits<std::int64_t>::max(), 100000000)
                        .size()),
                runs[0].ticks);
        }
        going = false;
        feeder.join();
    }

    // The checkpoints carry the ticks from the write-ahead log into the database file: with the
    // log lost, the file alone holds the ticks up to the last checkpoint.
    void checkpointsCarryTicksIntoTheFile_data() {
        QTest::addColumn<int>("checkpointEveryMs");
        QTest::addColumn<bool>("inTheFile");
        QTest::newRow("at every commit") << 0 << true;
        QTest::newRow("not yet") << 3600000 << false;
    }

    void checkpointsCarryTicksIntoTheFile() {
        QFETCH(int, checkpointEveryMs);
        QFETCH(bool, inTheFile);
        QTemporaryDir folder;
        QTemporaryDir copy;
        RecorderSettings settings = settingsFor(folder.path().toStdString());
        settings.checkpointEvery = std::chrono::milliseconds(checkpointEveryMs);
        RunRecorder recorder(settings, [](const RecorderStatus&) {});
        for (int index = 0; index < 100; ++index)
            recorder.add(tickAt(kClocksGoBack + index * 1000LL, {20.0f}));
        recorder.flush();
        QCOMPARE(recorder.committedTicks(), 100);
        std::filesystem::copy_file(pathIn(folder, "runs.sqlite"), pathIn(copy, "runs.sqlite"));
        RunDatabase database(pathIn(copy, "runs.sqlite"));
        const std::vector<RunInfo> runs = database.runs();
        QCOMPARE(runs.size(), inTheFile ? std::size_t{1} : std::size_t{0});
        if (inTheFile)
            QCOMPARE(runs[0].ticks, 100);
    }

#ifndef _WIN32
    void fullDiskStopsTheRecorder() {
        QTemporaryDir folder;
        std::mutex mutex;
        std::vector<RecorderStatus> statuses;
        RecorderSettings settings = settingsFor(folder.path().toStdString());
        RunRecorder recorder(settings, [&](const RecorderStatus& status) {
            const std::lock_guard lock(mutex);
            statuses.push_back(status);
        });
        recorder.add(tickAt(kClocksGoBack, {20.0f}));
        recorder.flush();
        QVERIFY(recorder.committedTicks() == 1);
        {
            const FileSizeLimit limit(
                static_cast<rlim_t>(std::filesystem::file_size(pathIn(folder, "runs.sqlite-wal"))) +
                20000);
            for (int index = 1; index < 20000; ++index)
                recorder.add(tickAt(kClocksGoBack + index * 1000LL,
                                    {20.0f, 21.0f, 22.0f, 23.0f, 24.0f, 25.0f, 26.0f, 27.0f}));
            recorder.flush();
        }
        const std::lock_guard lock(mutex);
        QVERIFY(!statuses.empty());
        QVERIFY(statuses.back().stopped);
        QCOMPARE(statuses.back().text, std::string("the disk is full"));
        // What was committed before is still there.
        RunDatabase database(pathIn(folder, "runs.sqlite"));
        QVERIFY(database.runs().at(0).ticks >= 1);
    }
#endif

    // Two programs recording into the same folder at once each keep their own run, whole; so do
    // two recorders in one program.
    void twoWritersAtOnce_data() {
        QTest::addColumn<bool>("twoPrograms");
        QTest::newRow("two programs") << true;
        QTest::newRow("two recorders in one program") << false;
    }

    void twoWritersAtOnce() {
        QFETCH(bool, twoPrograms);
        QTemporaryDir folder;
        if (twoPrograms) {
            std::array<QProcess, 2> children;
            for (std::size_t board = 0; board < children.size(); ++board) {
                children[board].setProcessChannelMode(QProcess::ForwardedChannels);
                children[board].start(QCoreApplication::applicationFilePath(),
                                      {kWritingChild, folder.path(), QString::number(board)});
            }
            for (QProcess& child : children) {
                QVERIFY(child.waitForFinished(30000));
                QCOMPARE(child.exitStatus(), QProcess::NormalExit);
                QCOMPARE(child.exitCode(), 0);
            }
        } else {
            // Neither stops nor goes on in another file.
            std::atomic<int> elsewhere{0};
            const auto status = [&](const RecorderStatus& said) {
                if (said.stopped || !said.text.empty())
                    ++elsewhere;
            };
            {
                RunRecorder first(settingsFor(folder.path().toStdString()), status);
                RunRecorder second(settingsFor(folder.path().toStdString()), status);
                for (int index = 0; index < kWrittenTicks; ++index) {
                    first.add(tickAt(kClocksGoBack + index * 1000LL, {1.0f}, 3600, 0));
                    second.add(tickAt(kClocksGoBack + index * 1000LL, {2.0f}, 3600, 1));
                }
            }
            QCOMPARE(elsewhere.load(), 0);
        }
        RunDatabase database(pathIn(folder, "runs.sqlite"));
        const std::vector<RunInfo> runs = database.runs();
        QCOMPARE(runs.size(), std::size_t{2});
        for (const RunInfo& run : runs) {
            QCOMPARE(run.state, RunState::Closed);
            QCOMPARE(run.ticks, kWrittenTicks);
            const std::vector<StoredTick> ticks =
                database.ticks(run.id, 0, kClocksGoBack * 2, 5000);
            QCOMPARE(ticks.size(), std::size_t{kWrittenTicks});
            QCOMPARE(ticks[kWrittenTicks - 1].channels[0].filtered,
                     run.boardRow == 0 ? 1.0f : 2.0f);
        }
    }
};

int main(int argc, char** argv) {
    // Records a run of its board's ticks and ends, closing it.
    if (argc == 4 && std::strcmp(argv[1], kWritingChild) == 0) {
        const int board = std::atoi(argv[3]);
        std::atomic<bool> stopped{false};
        {
            RunRecorder recorder(settingsFor(argv[2]), [&](const RecorderStatus& status) {
                // Stopped, or gone on in another file than the other program's.
                if (status.stopped || !status.text.empty()) {
                    std::fprintf(stderr, "recorder: %s\n", status.text.c_str());
                    stopped = true;
                }
            });
            for (int index = 0; index < kWrittenTicks; ++index)
                recorder.add(tickAt(kClocksGoBack + index * 1000LL, {board == 0 ? 1.0f : 2.0f},
                                    3600, board));
        }
        return stopped ? 1 : 0;
    }
    if (argc == 3 && std::strcmp(argv[1], kRecordingChild) == 0) {
        RunRecorder recorder(settingsFor(argv[2]), [](const RecorderStatus&) {});
        for (int index = 0;; ++index) {
            std::vector<float> values(8, 20.0f);
            values[7] = static_cast<float>(index % 1000) / 100;
            recorder.add(tickAt(kClocksGoBack + index * 1000LL, values));
            std::printf("%d\n", index + 1);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    QCoreApplication app(argc, argv);
    RunsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_runs.moc"
