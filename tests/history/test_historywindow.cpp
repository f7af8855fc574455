#include "filesizelimit.h"
#include "history/historyplot.h"
#include "history/historywindow.h"
#include "history/localtimes.h"
#include "history/storedrange.h"
#include "log/logfile.h"
#include "log/sylklog.h"
#include "log/tablog.h"
#include "runs/runwriter.h"
#include "ui_historywindow.h"

#include <QApplication>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <cmath>
#include <memory>

using namespace thermavo;

namespace {

struct Message {
    QMessageBox::Icon icon;
    QString caption;
    QString text;
};

constexpr int kSettleMs = 20'000;

LocalDateTime localOf(const QDateTime& time) {
    const QDate date = time.date();
    const QTime clock = time.time();
    return {date.year(),    date.month(),   date.day(),  clock.hour(),
            clock.minute(), clock.second(), clock.msec()};
}

TickValues tickValues(int tick) {
    TickValues values;
    values.fill(kNoSample);
    values[0] = 20.0f + static_cast<float>(tick % 17) * 0.125f;
    values[1] = -3.4f - static_cast<float>(tick % 5);
    // T3 has no sample at every seventh tick.
    if (tick % 7 != 0)
        values[2] = 100.0f + static_cast<float>(tick) / 100.0f;
    return values;
}

LogChannels logChannels(const TickValues& values) {
    LogChannels channels;
    for (std::size_t channel = 0; channel < channels.size(); ++channel)
        channels[channel] = {hasSample(values[channel]), values[channel]};
    return channels;
}

// Values at hundredths, as the run store keeps them.
TickValues storedValues(int tick) {
    TickValues values;
    values.fill(kNoSample);
    values[0] = static_cast<float>(2000 + tick % 17 * 13 + tick / 1000) / 100.0f;
    values[1] = static_cast<float>(-340 - tick % 5 * 7) / 100.0f;
    if (tick % 7 != 0)
        values[2] = static_cast<float>(10000 + tick % 1000) / 100.0f;
    return values;
}

QStringList linesOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestHistoryWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    RunStore m_run;
    QDateTime m_now;
    RegionalSettings m_regional;
    std::vector<Message> m_messages;
    QString m_chosenFile;
    std::unique_ptr<HistoryWindow> m_window;

    HistoryServices services() {
        HistoryServices services;
        services.now = [this] { return m_now; };
        services.regionalSettings = [this] { return m_regional; };
        services.showMessage = [this](QMessageBox::Icon icon, const QString& caption,
                                      const QString& text) {
            m_messages.push_back({icon, caption, text});
        };
        services.chooseLogFile = [this](QWidget*) { return m_chosenFile; };
        services.chooseSaveFile = [this](QWidget*, const QString&, const QString&, const QString&) {
            return m_chosenFile;
        };
        return services;
    }

    HistoryPlot& plot() { return m_window->plot(); }
    QString cell(int channel, int column) {
        return m_window->ui().ChannelTable->item(channel, column)->text();
    }

    // n ticks a second apart from m_now; a break before tick `gapAt` for an hour.
    void fillRun(int ticks, int gapAt = -1) {
        std::int64_t time = m_now.toMSecsSinceEpoch();
        for (int tick = 0; tick < ticks; ++tick) {
            if (tick == gapAt) {
                m_run.breakSegment();
                time += 3'600'000;
            }
            m_run.append(time, tickValues(tick));
            time += 1000;
        }
    }

    // A run of `ticks` ticks `stepMs` apart from m_now in a run store, and the same in m_run.
    std::int64_t writeStoredRun(runs::RunDatabase& database, int ticks, std::int64_t stepMs) {
        runs::RunWriter writer(database, m_now.toMSecsSinceEpoch(), 3600, 0);
        appendStored(writer, 0, ticks, stepMs);
        writer.commit();
        return writer.run();
    }
    void appendStored(runs::RunWriter& writer, int from, int to, std::int64_t stepMs) {
        for (int tick = from; tick < to; ++tick) {
            SampleTick sample;
            sample.msSinceEpoch = m_now.toMSecsSinceEpoch() + tick * stepMs;
            sample.utcOffsetSeconds = 3600;
            const TickValues values = storedValues(tick);
            for (std::size_t channel = 0; channel < values.size(); ++channel) {
                if (hasSample(values[channel]))
                    sample.channels[channel] = {true, values[channel], values[channel]};
            }
            writer.add(sample);
            m_run.append(sample.msSinceEpoch, values);
        }
    }
    QString storePath() { return m_folder.filePath(QStringLiteral("runs.sqlite")); }
    // The stored run's span in view, once it has come.
    const RangeAnswer* rangeInView() {
        const RangeAnswer* range = m_window->shownRange();
        return range != nullptr && range->request.time == m_window->view().time() ? range : nullptr;
    }

    void openWindow() {
        m_window = std::make_unique<HistoryWindow>(m_run, services());
        m_window->resize(1000, 560);
        m_window->showRun();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void readLog(const QString& path) {
        m_window->readLog(path);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
    }

    QPoint pixelOf(double key, double value) {
        return QPoint(static_cast<int>(std::lround(plot().xAxis->coordToPixel(key))),
                      static_cast<int>(std::lround(plot().yAxis->coordToPixel(value))));
    }

    void wheel(const QPoint& at, int steps, Qt::KeyboardModifiers modifiers = {}) {
        QWheelEvent event(at, plot().mapToGlobal(at), QPoint(), QPoint(0, 120 * steps),
                          Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&plot(), &event);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        // Winter time in Berlin, so the CSV's offsets and the autumn night below are known. On
        // Windows the zone comes from Windows' settings: there the C library would read this
        // name as no zone at all, and Qt's local time would part from the system's zone.
#ifndef Q_OS_WIN
        qputenv("TZ", "Europe/Berlin");
#endif
    }

    void init() {
        m_run.clear();
        m_messages.clear();
        m_chosenFile.clear();
        m_regional = RegionalSettings{};
        m_now = QDateTime(QDate(2024, 12, 8), QTime(15, 12, 0));
    }

    void cleanup() {
        m_window.reset();
        QFile::remove(storePath());
        QFile::remove(storePath() + QStringLiteral("-wal"));
        QFile::remove(storePath() + QStringLiteral("-shm"));
    }

    // A log written by the log writers reads back as the samples that were logged: times to
    // the second (SYLK to the millisecond), values to the hundredth, the hour off line a break.
    void readsWhatTheWritersWrote_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<QString>("decimal");
        QTest::newRow("SYLK") << true << ".";
        QTest::newRow("TAB") << false << ".";
        QTest::newRow("TAB, decimal comma") << false << ",";
    }

    void readsWhatTheWritersWrote() {
        QFETCH(bool, sylk);
        QFETCH(QString, decimal);
        m_regional.decimalSeparator = decimal.toStdString();
        const QString path = m_folder.filePath(sylk ? "written.slk" : "written.txt");
        QFile::remove(path);
        LogFile file;
        sylk ? openSylkLog(file, path.toStdString()) : openTabLog(file, path.toStdString());
        const int records = 240;
        const int gapAt = 200;
        QDateTime time = m_now.addMSecs(250);
        std::vector<std::pair<QDateTime, TickValues>> written;
        for (int record = 0; record < records; ++record) {
            if (record == gapAt)
                time = time.addSecs(3600);
            const TickValues values = tickValues(record);
            if (sylk)
                writeSylkRecord(file, localOf(time), logChannels(values));
            else
                writeTabRecord(file, localOf(time), logChannels(values), m_regional);
            written.emplace_back(time, values);
            time = time.addSecs(2);
        }
        sylk ? closeSylkLog(file) : closeTabLog(file);

        openWindow();
        readLog(path);
        QVERIFY(m_messages.empty());
        QVERIFY(!m_window->showingRun());
        QVERIFY(m_window->windowTitle().contains(QStringLiteral("written")));
        const RunStore& read = m_window->shownStore();
        QCOMPARE(read.size(), written.size());
        QCOMPARE(read.segmentStarts(), (std::vector<std::size_t>{std::size_t(gapAt)}));
        for (std::size_t tick = 0; tick < written.size(); ++tick) {
            const auto& [when, values] = written[tick];
            const qint64 expected =
                sylk ? when.toMSecsSinceEpoch() : when.toMSecsSinceEpoch() / 1000 * 1000;
            QCOMPARE(read.time(tick), expected);
            for (int channel = 0; channel < kHistoryChannels; ++channel) {
                const float value = values[static_cast<std::size_t>(channel)];
                const float got = read.value(tick, channel);
                QCOMPARE(hasSample(got), hasSample(value));
                if (hasSample(value))
                    QVERIFY2(std::fabs(got - value) <= 0.005f + 1e-4f,
                             qPrintable(QStringLiteral("tick %1 T%2: %3 for %4")
                                            .arg(tick)
                                            .arg(channel + 1)
                                            .arg(got)
                                            .arg(value)));
            }
        }
        // Going back to the (empty) run, or reading another log, while the log's rows are
        // written as CSV changes nothing in the file.
        const QString csv = m_folder.filePath(QStringLiteral("written.csv"));
        QVERIFY(m_window->saveCsv(csv));
        m_window->ui().RunButton->click();
        QVERIFY(m_window->showingRun());
        m_window->readLog(path);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        QVERIFY(m_window->showingRun());
        QVERIFY(m_messages.empty());
        QCOMPARE(linesOf(csv).size(), records + 1);
    }

    void filesThatAreNoLogsAreNamed_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("text");
        QTest::newRow("a letter") << QByteArray("Dear Sir,\r\n") << "Error"
                                  << "is not a log Thermavo can read: line 1: ";
        QTest::newRow("a broken TAB record on line 3")
            << QByteArray("08/12/2024 15:12:00\t1\t\t\t\t\t\t\t\r\n"
                          "08/12/2024 15:12:01\t2\t\t\t\t\t\t\t\r\n"
                          "08/12/2024 15:1x:02\t3\t\t\t\t\t\t\t\r\n")
            << "Error"
            << "is not a log Thermavo can read: line 3: the date and time \"08/12/2024 15:1x:02\"";
        QTest::newRow("empty") << QByteArray() << "Warning"
                               << "holds no records.";
    }

    void filesThatAreNoLogsAreNamed() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, caption);
        QFETCH(QString, text);
        fillRun(10);
        openWindow();
        const QString path = m_folder.filePath(QStringLiteral("not a log.txt"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        m_chosenFile = path;
        m_window->ui().OpenButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        QCOMPARE(m_messages.size(), std::size_t{1});
        QCOMPARE(m_messages[0].caption, caption);
        QVERIFY2(m_messages[0].text.contains(QDir::toNativeSeparators(path)),
                 qPrintable(m_messages[0].text));
        QVERIFY2(m_messages[0].text.contains(text), qPrintable(m_messages[0].text));
        // The view keeps what it showed.
        QVERIFY(m_window->showingRun());
        QCOMPARE(m_window->shownStore().size(), std::size_t{10});
    }

    // A log a power cut left unfinished, or ending in zero bytes, with the next log appended by
    // the writer: the damaged line is left out, the window says so, the rest is shown.
    void damagedLogsReadWithANote_data() {
        QTest::addColumn<int>("cut");
        QTest::addColumn<int>("zeros");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("note");
        QTest::newRow("cut in T3") << 6 << 0 << 4 << "line 3 was cut short and is left out";
        QTest::newRow("zeros after the last line")
            << 0 << 8192 << 5 << "line 4 holds zero bytes, as a power cut leaves them";
    }

    void damagedLogsReadWithANote() {
        QFETCH(int, cut);
        QFETCH(int, zeros);
        QFETCH(int, ticks);
        QFETCH(QString, note);
        const QString path = m_folder.filePath(QStringLiteral("damaged.txt"));
        QFile::remove(path);
        const auto writeLog = [&](int first, int count) {
            LogFile file;
            openTabLog(file, path.toStdString());
            for (int record = first; record < first + count; ++record)
                writeTabRecord(file, localOf(m_now.addSecs(record)),
                               logChannels(tickValues(record)), m_regional);
            closeTabLog(file);
        };
        writeLog(0, 3);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.resize(file.size() - cut));
            QVERIFY(file.seek(file.size()));
            file.write(QByteArray(zeros, '\0'));
        }
        writeLog(3, 2);
        openWindow();
        readLog(path);
        QCOMPARE(m_messages.size(), std::size_t{1});
        QCOMPARE(m_messages[0].caption, QStringLiteral("Note"));
        QVERIFY2(m_messages[0].text.contains(note), qPrintable(m_messages[0].text));
        const RunStore& read = m_window->shownStore();
        QCOMPARE(read.size(), std::size_t(ticks));
        for (std::size_t tick = 0; tick < read.size(); ++tick) {
            const int record = tick < 2 || ticks == 5 ? int(tick) : int(tick) + 1;
            QCOMPARE(read.time(tick), m_now.addSecs(record).toMSecsSinceEpoch());
            QCOMPARE(read.value(tick, 2), tickValues(record)[2]);
        }
    }

    // A log with the same first and last time and the same range of values as the one shown
    // before (T1 backwards) shows its own curves. The first reading settles the axes' labels.
    void secondLogOverTheSameSpan() {
        openWindow();
        for (const bool backwards : {false, true, false}) {
            const auto t1 = [&](int record) {
                return tickValues(backwards ? 9 - record : record)[0];
            };
            const QString path = m_folder.filePath(QStringLiteral("span%1.txt").arg(backwards));
            QFile::remove(path);
            LogFile file;
            openTabLog(file, path.toStdString());
            for (int record = 0; record < 10; ++record) {
                TickValues values = tickValues(record);
                values[0] = t1(record);
                writeTabRecord(file, localOf(m_now.addSecs(record)), logChannels(values),
                               m_regional);
            }
            closeTabLog(file);
            readLog(path);
            QVERIFY(m_messages.empty());
            // As the window is drawn before the user reads the next log.
            plot().replot();
            const auto data = plot().graph(0)->data();
            QCOMPARE(data->size(), 10);
            for (int tick = 0; tick < data->size(); ++tick)
                QVERIFY2(std::fabs(data->at(tick)->value - t1(tick)) < 0.006,
                         qPrintable(QString::number(data->at(tick)->value)));
        }
    }

    // A 1 s log, an hour later a 10 s log appended to the same file: one break, and the slow
    // part's ticks are drawn as a line, not as dots of their own.
    void logsOfTwoIntervals() {
        const QString path = m_folder.filePath(QStringLiteral("two intervals.txt"));
        QFile::remove(path);
        const auto writeLog = [&](const QDateTime& start, int seconds, int records) {
            LogFile file;
            openTabLog(file, path.toStdString());
            for (int record = 0; record < records; ++record)
                writeTabRecord(file, localOf(start.addSecs(record * seconds)),
                               logChannels(tickValues(record)), m_regional);
            closeTabLog(file);
        };
        writeLog(m_now, 1, 100);
        writeLog(m_now.addSecs(3600), 10, 50);
        openWindow();
        readLog(path);
        QVERIFY(m_messages.empty());
        QCOMPARE(m_window->shownStore().segmentStarts(), std::vector<std::size_t>{100});
        // Zoomed into the slow part, the cursor between two of its ticks reads the earlier one.
        const double slow = secondsOf(m_now.addSecs(3600).toMSecsSinceEpoch());
        plot().xAxis->setRange(slow + 100, slow + 160);
        QTest::mouseMove(&plot(), pixelOf(slow + 125, 20.0));
        QTRY_COMPARE(cell(0, 1), QStringLiteral("21.50"));
    }

    // A TAB log every second across the night the clocks go back in Berlin, 01:30 summer time
    // to 02:30 winter time: the local times 02:00 to 02:59 come twice, and every record reads
    // back as the instant it was written at, whichever offset the process used last for that
    // hour before.
    void logAcrossTheClocksGoingBack_data() {
        QTest::addColumn<int>("primedOffset");
        QTest::newRow("summer time used last") << 7200;
        QTest::newRow("winter time used last") << 3600;
    }

    void logAcrossTheClocksGoingBack() {
        QFETCH(int, primedOffset);
        // The log is read in the process's own zone, which TZ sets to Berlin's on Linux; Qt on
        // Windows takes the zone from Windows' settings.
        if (QDateTime(QDate(2024, 10, 26), QTime(12, 0)).offsetFromUtc() != 7200 ||
            QDateTime(QDate(2024, 10, 27), QTime(4, 0)).offsetFromUtc() != 3600)
            QSKIP("needs the process's time zone to be Berlin's");
        const QTimeZone berlin("Europe/Berlin");
        const QDateTime start(QDate(2024, 10, 26), QTime(23, 30), QTimeZone::utc());
        const int records = 7200;
        const QString path = m_folder.filePath(QStringLiteral("autumn.txt"));
        QFile::remove(path);
        {
            LogFile file;
            openTabLog(file, path.toStdString());
            for (int record = 0; record < records; ++record)
                writeTabRecord(file, localOf(start.addSecs(record).toTimeZone(berlin)),
                               logChannels(tickValues(record)), m_regional);
            closeTabLog(file);
        }
        // The C library remembers the offset it used for a local time last.
        const QDateTime twoThirty(QDate(2024, 10, 27), QTime(2, 30), QTimeZone::utc());
        const QDateTime primed =
            QDateTime::fromMSecsSinceEpoch(twoThirty.toMSecsSinceEpoch() - primedOffset * 1000LL);
        QCOMPARE(primed.time(), QTime(2, 30));
        QVERIFY(QDateTime(primed.date(), primed.time()).toMSecsSinceEpoch() > 0);
        QVERIFY(QDateTime(primed.date(), primed.time().addSecs(-1800)).toMSecsSinceEpoch() > 0);
        openWindow();
        readLog(path);
        QVERIFY(m_messages.empty());
        const RunStore& read = m_window->shownStore();
        QCOMPARE(read.size(), std::size_t(records));
        int wrong = 0;
        for (std::size_t tick = 0; tick < read.size(); ++tick)
            wrong += read.time(tick) != start.toMSecsSinceEpoch() + qint64(tick) * 1000 ? 1 : 0;
        QCOMPARE(wrong, 0);
        QVERIFY(read.segmentStarts().empty());
    }

    // Local times converted in a zone given, not the system's: every minute across each change
    // of its clocks comes back as the instant it was, and the instant as the local time.
    void localTimesInAZone_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDateTime>("start");
        QTest::newRow("New York, autumn")
            << QByteArray("America/New_York")
            << QDateTime(QDate(2024, 11, 3), QTime(4, 0), QTimeZone::utc());
        QTest::newRow("New York, spring")
            << QByteArray("America/New_York")
            << QDateTime(QDate(2024, 3, 10), QTime(5, 0), QTimeZone::utc());
        QTest::newRow("Sydney, autumn (April)")
            << QByteArray("Australia/Sydney")
            << QDateTime(QDate(2024, 4, 6), QTime(14, 0), QTimeZone::utc());
        QTest::newRow("Lord Howe, half an hour back")
            << QByteArray("Australia/Lord_Howe")
            << QDateTime(QDate(2024, 4, 6), QTime(14, 0), QTimeZone::utc());
    }

    void localTimesInAZone() {
        QFETCH(QByteArray, zone);
        QFETCH(QDateTime, start);
        const QTimeZone timeZone(zone);
        QVERIFY(timeZone.isValid());
        LocalTimes times(timeZone);
        LocalTimes back(timeZone);
        for (int minute = 0; minute < 4 * 60; ++minute) {
            const QDateTime instant = start.addSecs(minute * 60);
            const QDateTime local = instant.toTimeZone(timeZone);
            QCOMPARE(times.instantOf(localOf(local)), instant.toMSecsSinceEpoch());
            int offset = 0;
            const LocalDateTime when = back.localOf(instant.toMSecsSinceEpoch(), offset);
            QCOMPARE(offset, local.offsetFromUtc());
            QCOMPARE(QTime(when.hour, when.minute), local.time());
        }
    }

    void unreadableFileIsNamed() {
        openWindow();
        const QString path = m_folder.filePath(QStringLiteral("missing.slk"));
        readLog(path);
        QCOMPARE(m_messages.size(), std::size_t{1});
        QVERIFY2(m_messages[0].text.startsWith(
                     QStringLiteral("Unable to read \"%1\"").arg(QDir::toNativeSeparators(path))),
                 qPrintable(m_messages[0].text));
    }

    void readingCanBeCancelled() {
        const QString path = m_folder.filePath(QStringLiteral("long.txt"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            const QByteArray record = "08/12/2024 15:12:00\t21.13\t-3.40\t\t\t\t\t\t\r\n";
            file.write(record.repeated(500'000));
        }
        fillRun(3);
        openWindow();
        m_window->readLog(path);
        QVERIFY(m_window->busy());
        QVERIFY(m_window->ui().LoadBar->isVisible());
        m_window->ui().CancelButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        QVERIFY(m_messages.empty());
        QVERIFY(m_window->showingRun());
        QVERIFY(!m_window->ui().LoadBar->isVisible());
    }

    // The span in view as CSV: local times to the second with their offset, "." decimals, the
    // shown channels only, ticks outside the span left out. The night the clocks go back shows
    // 02:30 twice, once at +02:00 and once at +01:00.
    void csvOfTheSpanInView() {
        m_now = QDateTime(QDate(2024, 10, 27), QTime(1, 0, 0));
        std::int64_t time = m_now.toMSecsSinceEpoch();
        for (int tick = 0; tick < 240; ++tick) {
            m_run.append(time, tickValues(tick));
            time += 60'000;
        }
        openWindow();
        m_window->ui().ChannelTable->item(1, 0)->setCheckState(Qt::Unchecked);
        const QString path = m_folder.filePath(QStringLiteral("view.csv"));
        m_chosenFile = path;
        m_window->ui().CsvButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        QVERIFY(m_messages.empty());
        const QStringList lines = linesOf(path);
        QCOMPARE(lines.size(), 241);
        QCOMPARE(lines[0], QStringLiteral("Date and time,UTC offset,T1,T3,T4,T5,T6,T7,T8"));
        // Wine takes its time zone from Windows' settings, not from TZ: the rows below are
        // checked against Qt's own conversion wherever the test runs.
        const bool berlin = m_now.offsetFromUtc() == 7200 &&
                            QDateTime(QDate(2024, 10, 27), QTime(4, 0)).offsetFromUtc() == 3600;
        if (berlin) {
            QCOMPARE(lines[1], QStringLiteral("2024-10-27 01:00:00,UTC+02:00,20.00,,,,,,"));
            QCOMPARE(lines[2], QStringLiteral("2024-10-27 01:01:00,UTC+02:00,20.13,100.01,,,,,"));
            QCOMPARE(lines[91], QStringLiteral("2024-10-27 02:30:00,UTC+02:00,20.63,100.90,,,,,"));
            QCOMPARE(lines[151], QStringLiteral("2024-10-27 02:30:00,UTC+01:00,21.75,101.50,,,,,"));
            QCOMPARE(lines[240], QStringLiteral("2024-10-27 03:59:00,UTC+01:00,20.13,102.39,,,,,"));
        }
        for (int tick = 0; tick < 240; ++tick) {
            const QDateTime when = QDateTime::fromMSecsSinceEpoch(m_run.time(tick));
            const int offset = when.offsetFromUtc();
            QVERIFY2(lines[tick + 1].startsWith(
                         when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss,UTC")) +
                         QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+',
                                           std::abs(offset) / 3600, std::abs(offset) / 60 % 60)),
                     qPrintable(lines[tick + 1]));
        }

        // Zoomed into the second half hour: only its ticks.
        plot().xAxis->setRange(secondsOf(m_run.time(30)), secondsOf(m_run.time(59)));
        QCOMPARE(m_window->saveCsv(path), true);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        const QStringList zoomed = linesOf(path);
        QCOMPARE(zoomed.size(), 31);
        QVERIFY(zoomed[1].startsWith(QDateTime::fromMSecsSinceEpoch(m_run.time(30))
                                         .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
        QVERIFY(zoomed[30].startsWith(QDateTime::fromMSecsSinceEpoch(m_run.time(59))
                                          .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    }

    void csvReadsInPandas() {
#ifdef Q_OS_WIN
        QSKIP("pandas is Debian's, checked in the Linux build");
#endif
        // Debian's own Python, which python3-pandas goes with, before any other on the PATH.
        const QString debianPython = QStringLiteral("/usr/bin/python3");
        const QString python = QFile::exists(debianPython)
                                   ? debianPython
                                   : QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty())
            QSKIP("python3 is not installed (scripts/setup installs it with python3-pandas)");
        fillRun(100, 50);
        openWindow();
        const QString path = m_folder.filePath(QStringLiteral("pandas.csv"));
        QVERIFY(m_window->saveCsv(path));
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        QProcess process;
        process.start(python, {"-c",
                               "import sys, pandas\n"
                               "f = pandas.read_csv(sys.argv[1], parse_dates=['Date and time'])\n"
                               "print(len(f), f['Date and time'].dtype, f['T1'].dtype)\n"
                               "print(f['Date and time'][0], f['UTC offset'][0], f['T1'][0])\n"
                               "print(int(f['T3'].isna().sum()), f['T4'].dtype)\n",
                               path});
        QVERIFY(process.waitForFinished(60'000));
        const QString output = QString::fromUtf8(process.readAllStandardOutput());
        if (process.exitCode() != 0 &&
            process.readAllStandardError().contains("No module named 'pandas'"))
            QSKIP("pandas is not installed (scripts/setup installs python3-pandas)");
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(output, QStringLiteral("100 datetime64[ns] float64\n"
                                        "2024-12-08 15:12:00 UTC+01:00 20.0\n"
                                        "15 float64\n"));
    }

    // A medium that fills up while the CSV file is written is named as the reason, and no
    // part of the file is left.
    void csvOnAFullMedium() {
#ifdef Q_OS_WIN
        QSKIP("Windows has no file size limit per process to stand in for a full medium");
#else
        fillRun(20000);
        openWindow();
        const QString path = m_folder.filePath(QStringLiteral("full.csv"));
        QFile::remove(path);
        {
            const FileSizeLimit limit(64 * 1024);
            QVERIFY(m_window->saveCsv(path));
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        }
        QCOMPARE(m_messages.size(), std::size_t{1});
        QVERIFY2(m_messages[0].text.contains(QStringLiteral("File too large")),
                 qPrintable(m_messages[0].text));
        QVERIFY(!QFile::exists(path));
#endif
    }

    // Closing the window while the CSV file is written finishes the file; so does the end of
    // the program.
    void csvFinishedWhenTheWindowCloses_data() {
        QTest::addColumn<bool>("destroyed");
        QTest::newRow("window closed") << false;
        QTest::newRow("window destroyed") << true;
    }

    void csvFinishedWhenTheWindowCloses() {
        QFETCH(bool, destroyed);
        fillRun(100000);
        openWindow();
        const QString path = m_folder.filePath(QStringLiteral("closed.csv"));
        QFile::remove(path);
        QVERIFY(m_window->saveCsv(path));
        m_window->close();
        if (destroyed)
            m_window.reset();
        else
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        QVERIFY(m_messages.empty());
        QCOMPARE(linesOf(path).size(), 100000 + 1);
    }

    void pngOfTheView() {
        fillRun(100);
        openWindow();
        const QString path = m_folder.filePath(QStringLiteral("view.png"));
        QVERIFY(m_window->savePng(path));
        const QImage image(path);
        QCOMPARE(image.size(), plot().size());
        // The T1 line is drawn in its colour.
        bool red = false;
        for (int x = 0; x < image.width() && !red; ++x)
            for (int y = 0; y < image.height() && !red; ++y)
                red = image.pixelColor(x, y) == QColor(0xFF, 0x00, 0x00);
        QVERIFY(red);
    }

    void showsEveryTickWithABreak() {
        fillRun(300, 200);
        openWindow();
        QCOMPARE(m_window->shownStore().size(), std::size_t{300});
        QCOMPARE(plot().xAxis->range().lower, secondsOf(m_run.time(0)));
        QCOMPARE(plot().xAxis->range().upper, secondsOf(m_run.time(299)));
        // One point a tick and one break between the segments.
        QCOMPARE(plot().graph(0)->dataCount(), 301);
        QVERIFY(std::isnan(plot().graph(0)->data()->at(200)->value));
        QCOMPARE(plot().graph(0)->pen().color(), QColor(0xFF, 0x00, 0x00));
        QCOMPARE(plot().graph(7)->pen().color(), QColor(0x00, 0x80, 0xFF));
        QTRY_COMPARE(cell(0, 2), QStringLiteral("20.00"));
        QCOMPARE(cell(0, 3), QStringLiteral("22.00"));
        // A hidden channel is neither drawn nor fitted.
        m_window->ui().ChannelTable->item(2, 0)->setCheckState(Qt::Unchecked);
        QVERIFY(!plot().graph(2)->visible());
        m_window->ui().FitButton->click();
        QVERIFY(plot().yAxis->range().upper < 100.0);
    }

    void mouseAndKeys() {
        fillRun(1000);
        openWindow();
        const QCPRange whole = plot().xAxis->range();
        const QCPRange degrees = plot().yAxis->range();
        const QPoint middle = plot().axisRect()->center();
        const QPoint left(plot().axisRect()->left() + plot().axisRect()->width() / 4, middle.y());

        // The wheel zooms time about the mouse; the time under the mouse stays put.
        const double underMouse = plot().xAxis->pixelToCoord(left.x());
        wheel(left, 1);
        QVERIFY(plot().xAxis->range().size() < whole.size());
        QVERIFY(std::fabs(plot().xAxis->pixelToCoord(left.x()) - underMouse) < 1e-3);
        QCOMPARE(plot().yAxis->range(), degrees);
        QVERIFY(!m_window->view().following());

        // Ctrl+wheel zooms temperature only.
        const QCPRange time = plot().xAxis->range();
        wheel(middle, 1, Qt::ControlModifier);
        QCOMPARE(plot().xAxis->range(), time);
        QVERIFY(plot().yAxis->range().size() < degrees.size());

        // Home fits all, + and - zoom time about the middle, the arrows pan.
        plot().setFocus();
        QTest::keyClick(&plot(), Qt::Key_Home);
        QCOMPARE(plot().xAxis->range(), whole);
        QVERIFY(m_window->view().following());
        QTest::keyClick(&plot(), Qt::Key_Plus);
        QVERIFY(std::fabs(plot().xAxis->range().size() - whole.size() / 1.25) < 1e-6);
        QVERIFY(std::fabs(plot().xAxis->range().center() - whole.center()) < 1e-6);
        const QCPRange zoomed = plot().xAxis->range();
        QTest::keyClick(&plot(), Qt::Key_Left);
        QVERIFY(std::fabs(plot().xAxis->range().lower - (zoomed.lower - zoomed.size() / 10)) <
                1e-6);
        QTest::keyClick(&plot(), Qt::Key_Minus);
        QVERIFY(std::fabs(plot().xAxis->range().size() - whole.size()) < 1e-6);
        const QCPRange beforeUp = plot().yAxis->range();
        QTest::keyClick(&plot(), Qt::Key_Up);
        QVERIFY(plot().yAxis->range().lower > beforeUp.lower);
        QTest::keyClick(&plot(), Qt::Key_Plus, Qt::ControlModifier);
        QVERIFY(plot().yAxis->range().size() < beforeUp.size());

        // A left drag pans; a right drag zooms to the rectangle; a double-click fits all.
        QTest::keyClick(&plot(), Qt::Key_Home);
        const double before = plot().xAxis->range().lower;
        QTest::mousePress(&plot(), Qt::LeftButton, {}, middle);
        QTest::mouseMove(&plot(), middle + QPoint(100, 0));
        QTest::mouseRelease(&plot(), Qt::LeftButton, {}, middle + QPoint(100, 0));
        QVERIFY(plot().xAxis->range().lower < before);
        QVERIFY(std::fabs(plot().xAxis->range().size() - whole.size()) < 1e-6);

        QTest::keyClick(&plot(), Qt::Key_Home);
        const QPoint from = left;
        const QPoint to = middle + QPoint(0, 40);
        const double fromTime = plot().xAxis->pixelToCoord(from.x());
        const double toTime = plot().xAxis->pixelToCoord(to.x());
        QTest::mousePress(&plot(), Qt::RightButton, {}, from);
        QTest::mouseMove(&plot(), to);
        QTest::mouseRelease(&plot(), Qt::RightButton, {}, to);
        // Within a pixel or two.
        const double pixel = whole.size() / plot().axisRect()->width();
        QVERIFY2(std::fabs(plot().xAxis->range().lower - fromTime) < 2 * pixel,
                 qPrintable(QString::number(plot().xAxis->range().lower - fromTime)));
        QVERIFY2(std::fabs(plot().xAxis->range().upper - toTime) < 2 * pixel,
                 qPrintable(QString::number(plot().xAxis->range().upper - toTime)));

        QTest::mouseDClick(&plot(), Qt::LeftButton, {}, middle);
        // Qt 6.4's double-click leaves the button down for the next test otherwise.
        QTest::mouseRelease(&plot(), Qt::LeftButton, {}, middle);
        QCOMPARE(plot().xAxis->range(), whole);
    }

    // Every shortcut of the window, pressed on the real window with the focus on the plot, the
    // channel table or a button, does what its button does.
    void windowShortcuts_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("focus");
        for (const QString focus : {"plot", "table", "button"}) {
            QTest::addRow("Ctrl+O, focus on the %s", qPrintable(focus))
                << int(Qt::Key_O) << int(Qt::ControlModifier) << focus;
            QTest::addRow("Ctrl+H, focus on the %s", qPrintable(focus))
                << int(Qt::Key_H) << int(Qt::ControlModifier) << focus;
            QTest::addRow("Home, focus on the %s", qPrintable(focus))
                << int(Qt::Key_Home) << int(Qt::NoModifier) << focus;
        }
    }

    void windowShortcuts() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, focus);
        const QString path = m_folder.filePath(QStringLiteral("keys.txt"));
        QFile::remove(path);
        {
            LogFile file;
            openTabLog(file, path.toStdString());
            for (int record = 0; record < 20; ++record)
                writeTabRecord(file, localOf(m_now.addSecs(record)),
                               logChannels(tickValues(record)), m_regional);
            closeTabLog(file);
        }
        int asked = 0;
        fillRun(100);
        m_window = std::make_unique<HistoryWindow>(m_run, [&] {
            HistoryServices services = this->services();
            services.chooseLogFile = [&, path](QWidget*) {
                ++asked;
                return path;
            };
            return services;
        }());
        m_window->resize(1000, 560);
        m_window->showRun();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        const QCPRange whole = plot().xAxis->range();
        if (key == Qt::Key_H)
            readLog(path);
        if (key == Qt::Key_Home)
            plot().xAxis->setRange(whole.lower, whole.lower + whole.size() / 10);
        QWidget* target = focus == "plot"    ? static_cast<QWidget*>(&plot())
                          : focus == "table" ? static_cast<QWidget*>(m_window->ui().ChannelTable)
                                             : m_window->ui().PngButton;
        target->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), target);
        QTest::keyClick(target, static_cast<Qt::Key>(key),
                        static_cast<Qt::KeyboardModifiers>(modifiers));
        // A button's shortcut clicks it a moment later, as the button is seen going down.
        switch (key) {
        case Qt::Key_O:
            QTRY_COMPARE(asked, 1);
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
            QVERIFY(!m_window->showingRun());
            QCOMPARE(m_window->shownStore().size(), std::size_t{20});
            break;
        case Qt::Key_H:
            QTRY_VERIFY(m_window->showingRun());
            QCOMPARE(m_window->shownStore().size(), std::size_t{100});
            break;
        default:
            QTRY_COMPARE(plot().xAxis->range(), whole);
            break;
        }
        QVERIFY(m_messages.empty());
    }

    void cursorReadsTheValues() {
        fillRun(60, 30);
        openWindow();
        // Ten seconds across the plot, so a pixel is a fraction of a second.
        plot().xAxis->setRange(secondsOf(m_run.time(5)), secondsOf(m_run.time(15)));
        const QPoint atTick = pixelOf(secondsOf(m_run.time(10)) + 0.2, 20.0);
        QTest::mouseMove(&plot(), atTick - QPoint(5, 5));
        QTest::mouseMove(&plot(), atTick);
        QTRY_COMPARE(cell(0, 1), QStringLiteral("21.25"));
        QCOMPARE(cell(1, 1), QStringLiteral("-3.40"));
        QVERIFY(m_window->ui().CursorLabel->text().contains(QStringLiteral("08/12/2024 15:12:10")));
        // In the hour off line nothing is read.
        plot().xAxis->setRange(secondsOf(m_run.time(28)), secondsOf(m_run.time(31)));
        const QPoint inGap = pixelOf(secondsOf(m_run.time(29)) + 1800.0, 20.0);
        QTest::mouseMove(&plot(), inGap);
        QTRY_COMPARE(cell(0, 1), QString());
        QCOMPARE(cell(1, 1), QString());
    }

    void followsTheRun() {
        fillRun(10);
        openWindow();
        QVERIFY(m_window->view().following());
        m_run.append(m_run.time(9) + 1000, tickValues(10));
        m_window->runGrew();
        QCOMPARE(plot().xAxis->range().upper, secondsOf(m_run.time(10)));
        QCOMPARE(m_window->ui().SourceLabel->text(),
                 QStringLiteral("This run: 11 samples, following"));
        // Panned back, it stays.
        plot().setFocus();
        QTest::keyClick(&plot(), Qt::Key_Left);
        const QCPRange put = plot().xAxis->range();
        m_run.append(m_run.time(10) + 1000, tickValues(11));
        m_window->runGrew();
        QCOMPARE(plot().xAxis->range(), put);
    }

    // A stored run too long to draw tick by tick shows its summaries; zoomed in, every tick. The
    // statistics are those of every tick either way.
    void storedRunZoomsToEveryTick() {
        std::int64_t run = 0;
        {
            runs::RunDatabase database(storePath().toStdString());
            run = writeStoredRun(database, 2 * 8640, 10'000);
        }
        m_window = std::make_unique<HistoryWindow>(RunStore(), services());
        m_window->resize(1000, 560);
        m_window->showStoredRun(storePath(), run, QStringLiteral("Run of Sunday"), false);
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QVERIFY(m_window->showingStoredRun());
        QVERIFY(!m_window->showingRun());
        QCOMPARE(m_window->shownTicks(), m_run.size());
        QCOMPARE(m_window->shownStore().size(), std::size_t{0});
        QCOMPARE(m_window->ui().SourceLabel->text(),
                 QStringLiteral("Run of Sunday: 17280 samples"));
        QTRY_VERIFY_WITH_TIMEOUT(rangeInView() != nullptr, kSettleMs);
        QVERIFY(rangeInView()->level >= 0);
        const int budget = plot().axisRect()->width() * 4;
        QVERIFY(plot().graph(0)->data()->size() <= budget);
        const SpanStatistics whole = statistics(m_run, m_window->view().time());
        QCOMPARE(cell(0, 2), QString::number(whole[0].minimum, 'f', 2));
        QCOMPARE(cell(0, 3), QString::number(whole[0].maximum, 'f', 2));
        QCOMPARE(cell(2, 4), QString::number(whole[2].mean, 'f', 2));
        QCOMPARE(m_window->ui().SpanLabel->text().section(QLatin1Char(' '), 0, 2),
                 QStringLiteral("In view: 17280"));

        // Zoomed into three hours: every tick, one beyond each edge.
        plot().setFocus();
        const double from = secondsOf(m_run.time(5000)) + 0.5;
        plot().xAxis->setRange(from, from + 3 * 3600.0);
        QTRY_VERIFY_WITH_TIMEOUT(rangeInView() != nullptr, kSettleMs);
        QCOMPARE(rangeInView()->level, -1);
        const auto [first, last] = ticksWithin(m_run, m_window->view().time());
        QCOMPARE(last - first, std::size_t{1080});
        QCOMPARE(plot().graph(0)->data()->size(), static_cast<int>(last - first + 2));
        QCOMPARE(plot().graph(0)->data()->at(1)->key, secondsOf(m_run.time(first)));
        QCOMPARE(plot().graph(0)->data()->at(1)->value, double{m_run.value(first, 0)});

        // Back out with the keys: the answers come again, from the worker or the cache.
        for (int step = 0; step < 6; ++step)
            QTest::keyClick(&plot(), Qt::Key_Minus);
        QTRY_VERIFY_WITH_TIMEOUT(rangeInView() != nullptr, kSettleMs);
        const SpanStatistics wider = statistics(m_run, m_window->view().time());
        QCOMPARE(rangeInView()->statistics[0].count, wider[0].count);
        QCOMPARE(cell(1, 2), QString::number(wider[1].minimum, 'f', 2));

        // The cursor reads the tick under it from the disk.
        plot().xAxis->setRange(secondsOf(m_run.time(20)), secondsOf(m_run.time(30)));
        QTest::mouseMove(&plot(), pixelOf(secondsOf(m_run.time(25)) + 1.0, 20.0) - QPoint(5, 5));
        QTest::mouseMove(&plot(), pixelOf(secondsOf(m_run.time(25)) + 1.0, 20.0));
        QTRY_COMPARE(cell(0, 1), QString::number(m_run.value(25, 0), 'f', 2));
    }

    // The span in view of a stored run saved as CSV holds every tick of it, read off the
    // window's thread; cancelled, no file; the window closing finishes it first.
    void storedRunCsvHasEveryTick_data() {
        QTest::addColumn<QString>("ending");
        QTest::newRow("written") << QStringLiteral("written");
        QTest::newRow("cancelled") << QStringLiteral("cancelled");
        QTest::newRow("window closes") << QStringLiteral("window closes");
    }
    void storedRunCsvHasEveryTick() {
        QFETCH(QString, ending);
        std::int64_t run = 0;
        {
            runs::RunDatabase database(storePath().toStdString());
            run = writeStoredRun(database, 50'000, 1000);
        }
        m_window = std::make_unique<HistoryWindow>(RunStore(), services());
        m_window->resize(1000, 560);
        m_window->showStoredRun(storePath(), run, QStringLiteral("Run of Sunday"), false);
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        plot().xAxis->setRange(secondsOf(m_run.time(1234)) - 0.5, secondsOf(m_run.time(45'677)));
        const QString path = m_folder.filePath(QStringLiteral("stored.csv"));
        QFile::remove(path);
        QVERIFY(m_window->saveCsv(path));
        QVERIFY(m_window->busy());
        if (ending == QStringLiteral("cancelled")) {
            m_window->ui().CancelButton->click();
            QVERIFY(!m_window->busy());
            QVERIFY(!QFile::exists(path));
            QVERIFY(m_messages.empty());
            return;
        }
        if (ending == QStringLiteral("window closes"))
            m_window.reset();
        else
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->busy(), kSettleMs);
        QVERIFY(m_messages.empty());
        const QStringList lines = linesOf(path);
        QCOMPARE(lines.size(), 45'677 - 1234 + 2);
        LocalTimes times;
        ChannelMask all;
        all.fill(true);
        for (int tick = 1234; tick <= 45'677; tick += 1111) {
            int offset = 0;
            const LocalDateTime when = times.localOf(m_run.time(tick), offset);
            QCOMPARE(lines[tick - 1234 + 1] + QStringLiteral("\r\n"),
                     QString::fromStdString(csvRow(when, offset, m_run, tick, all)));
        }
        QCOMPARE(lines.last().section(QLatin1Char(','), 0, 0),
                 QDateTime::fromMSecsSinceEpoch(m_run.time(45'677))
                     .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    }

    // The run being recorded, shown from the disk, follows as its commits come.
    void storedCurrentRunFollows() {
        runs::RunDatabase database(storePath().toStdString());
        runs::RunWriter writer(database, m_now.toMSecsSinceEpoch(), 3600, 0);
        appendStored(writer, 0, 100, 1000);
        writer.commit();
        m_window = std::make_unique<HistoryWindow>(m_run, services());
        m_window->resize(1000, 560);
        m_window->setCurrentStoredRun(storePath(), writer.run());
        m_window->showRun();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QVERIFY(m_window->showingStoredRun());
        QVERIFY(m_window->showingRun());
        QCOMPARE(plot().xAxis->range().upper, secondsOf(m_run.time(99)));
        appendStored(writer, 100, 150, 1000);
        // Not on disk yet: nothing to show.
        m_window->runGrew();
        QCOMPARE(m_window->shownTicks(), std::size_t{100});
        writer.commit();
        m_window->runGrew();
        QCOMPARE(m_window->shownTicks(), std::size_t{150});
        QCOMPARE(plot().xAxis->range().upper, secondsOf(m_run.time(149)));
        QCOMPARE(m_window->ui().SourceLabel->text(),
                 QStringLiteral("This run: 150 samples, following"));
        QTRY_VERIFY_WITH_TIMEOUT(rangeInView() != nullptr, kSettleMs);
        QCOMPARE(rangeInView()->ticks, std::size_t{150});
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "test_historywindow.moc"
