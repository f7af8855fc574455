#include "history/storedrange.h"
#include "history/storedrun.h"
#include "runs/runwriter.h"

#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <limits>

using namespace thermavo;

namespace {

// 2026-03-02 00:00 UTC, a day boundary of the summaries.
constexpr qint64 kStartMs = 1772409600000;
constexpr std::int64_t kStepMs = 10'000;
// Three days at a tick every ten seconds; the board away for an hour after the first day and a
// half.
constexpr int kTicks = 3 * 8640;
constexpr int kAwayAfter = 8640 + 4320;
constexpr std::int64_t kAwayMs = 3'600'000;

qint64 timeOf(int index) {
    return kStartMs + index * kStepMs + (index >= kAwayAfter ? kAwayMs : 0);
}

// Ticks of the second day without any sample, over two whole hours.
constexpr int kSilentFrom = 8640 + 700;
constexpr int kSilentTo = kSilentFrom + 900;

// Values at hundredths, as the store keeps them; channel 1 has a sample at every third tick
// only, channel 2 never.
float valueOf(int index, int channel) {
    if ((channel == 1 && index % 3 != 0) || channel == 2 ||
        (index >= kSilentFrom && index < kSilentTo))
        return kNoSample;
    return static_cast<float>(std::lround(2000.0 + 800.0 * std::sin(index / 500.0 + channel) +
                                          (index * 7919 % 101))) /
           100.0f;
}

} // namespace

class TestStoredRange : public QObject {
    Q_OBJECT

    QTemporaryDir m_folder;
    std::unique_ptr<runs::RunDatabase> m_database;
    std::int64_t m_run = 0;
    // The same run in memory, the reference.
    RunStore m_memory;

    static RangeRequest request(std::int64_t fromMs, std::int64_t toMs, std::size_t budget) {
        ChannelMask all;
        all.fill(true);
        return {{secondsOf(fromMs), secondsOf(toMs)}, budget, all};
    }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        m_database = std::make_unique<runs::RunDatabase>(
            m_folder.filePath(QStringLiteral("runs.sqlite")).toStdString());
        runs::RunWriter writer(*m_database, kStartMs, 0, 0);
        for (int index = 0; index < kTicks; ++index) {
            if (index == kAwayAfter) {
                writer.add(LinkEvent{LinkChange::Lost, timeOf(index - 1) + 1, 0, 0, 1});
                writer.add(LinkEvent{LinkChange::Back, timeOf(index) - 1, 0, 0, 1});
                m_memory.breakSegment();
            }
            SampleTick tick;
            tick.msSinceEpoch = timeOf(index);
            TickValues values;
            for (int channel = 0; channel < kHistoryChannels; ++channel) {
                const float value = valueOf(index, channel);
                values[static_cast<std::size_t>(channel)] = value;
                if (hasSample(value))
                    tick.channels[static_cast<std::size_t>(channel)] = {true, value, value};
            }
            writer.add(tick);
            m_memory.append(tick.msSinceEpoch, values);
        }
        writer.close(timeOf(kTicks - 1), 0);
        m_run = writer.run();
    }

    // Statistics come from whole blocks where they lie inside and from ticks at the edges, and
    // are those of every tick; the points are every tick while the span is narrow, the blocks'
    // when it is wide.
    void spanMatchesEveryTick_data() {
        QTest::addColumn<qint64>("fromMs");
        QTest::addColumn<qint64>("toMs");
        QTest::addColumn<bool>("everyTick");
        const qint64 minute = 60'000;
        const qint64 hour = 60 * minute;
        const qint64 day = 24 * hour;
        QTest::newRow("five minutes")
            << kStartMs + 7 * minute + 3 << kStartMs + 12 * minute << true;
        QTest::newRow("hours across block edges") << qint64{kStartMs + 90 * minute + 5'000}
                                                  << kStartMs + 5 * hour + 17 * minute + 1 << false;
        QTest::newRow("day and a half across the break")
            << kStartMs + 20 * hour + 1 << kStartMs + 2 * day + 7 * hour + 999 << false;
        QTest::newRow("whole run") << qint64{timeOf(0)} << qint64{timeOf(kTicks - 1)} << false;
        QTest::newRow("wider than the run") << kStartMs - day << kStartMs + 5 * day << false;
        QTest::newRow("in the break")
            << qint64{timeOf(kAwayAfter - 1) + 1} << qint64{timeOf(kAwayAfter) - 1} << true;
        QTest::newRow("before the run") << kStartMs - day << kStartMs - 1 << true;
    }
    void spanMatchesEveryTick() {
        QFETCH(qint64, fromMs);
        QFETCH(qint64, toMs);
        QFETCH(bool, everyTick);
        constexpr std::size_t kBudget = 200;
        StoredRange range(*m_database, m_run);
        const std::atomic<bool> cancel{false};
        const RangeRequest asked = request(fromMs, toMs, kBudget);
        const RangeAnswer answer = range.range(asked, cancel);
        QVERIFY(answer.error.empty());
        QCOMPARE(answer.level == -1, everyTick);

        const SpanStatistics expected = statistics(m_memory, asked.time);
        const auto [first, last] = ticksWithin(m_memory, asked.time);
        QCOMPARE(answer.ticks, last - first);
        if (first < last) {
            QCOMPARE(answer.firstMs, m_memory.time(first));
            QCOMPARE(answer.lastMs, m_memory.time(last - 1));
        }
        for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
            const ChannelStatistics& found = answer.statistics[channel];
            QCOMPARE(found.count, expected[channel].count);
            if (found.count == 0)
                continue;
            QCOMPARE(found.minimum, expected[channel].minimum);
            QCOMPARE(found.maximum, expected[channel].maximum);
            QVERIFY2(std::abs(found.mean - expected[channel].mean) < 1e-6,
                     qPrintable(QString::number(found.mean - expected[channel].mean)));
        }
        // Within the plot's budget, and the same points the store in memory gives while narrow.
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            const std::vector<PlotPoint>& points = answer.points[static_cast<std::size_t>(channel)];
            QVERIFY(points.size() <= kBudget + 8);
            if (!everyTick)
                continue;
            std::vector<PlotPoint> inMemory;
            plotPoints(m_memory, asked.time, channel, kBudget, inMemory);
            QCOMPARE(points.size(), inMemory.size());
            for (std::size_t at = 0; at < points.size(); ++at) {
                QCOMPARE(points[at].key, inMemory[at].key);
                QCOMPARE(std::isnan(points[at].value), std::isnan(inMemory[at].value));
                if (!std::isnan(points[at].value))
                    QCOMPARE(points[at].value, inMemory[at].value);
            }
        }
        // A wide span's curve reaches the span's extremes, and no further than those of the
        // blocks at its edges.
        if (!everyTick && expected[0].count > 0) {
            double lowest = std::numeric_limits<double>::infinity();
            double highest = -lowest;
            for (const PlotPoint& point : answer.points[0]) {
                if (!std::isnan(point.value)) {
                    lowest = std::min(lowest, point.value);
                    highest = std::max(highest, point.value);
                }
            }
            const double block = secondsOf(runs::kLevelSpanMs[answer.level]);
            const SpanStatistics around =
                statistics(m_memory, {asked.time.lower - block, asked.time.upper + block});
            QVERIFY(static_cast<float>(lowest) <= expected[0].minimum);
            QVERIFY(static_cast<float>(lowest) >= around[0].minimum);
            QVERIFY(static_cast<float>(highest) >= expected[0].maximum);
            QVERIFY(static_cast<float>(highest) <= around[0].maximum);
        }
    }

    // The cursor reads the tick under it, as in memory; none in the break or before the run.
    void valuesUnderTheCursor_data() {
        QTest::addColumn<qint64>("ms");
        QTest::newRow("before the run") << kStartMs - 1;
        QTest::newRow("the first tick") << kStartMs;
        QTest::newRow("between two ticks") << qint64{timeOf(100) + 4'000};
        QTest::newRow("the last before the break") << qint64{timeOf(kAwayAfter - 1)};
        QTest::newRow("in the break") << qint64{timeOf(kAwayAfter - 1) + 60'000};
        QTest::newRow("the first after the break") << qint64{timeOf(kAwayAfter)};
        QTest::newRow("after the run") << qint64{timeOf(kTicks - 1) + 5'000};
    }
    void valuesUnderTheCursor() {
        QFETCH(qint64, ms);
        StoredRange range(*m_database, m_run);
        const std::optional<TickValues> found = range.valuesAt(secondsOf(ms));
        const std::optional<std::size_t> expected = tickAt(m_memory, secondsOf(ms));
        QCOMPARE(found.has_value(), expected.has_value());
        if (!expected)
            return;
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            const float value = (*found)[static_cast<std::size_t>(channel)];
            QCOMPARE(hasSample(value), hasSample(m_memory.value(*expected, channel)));
            if (hasSample(value))
                QCOMPARE(value, m_memory.value(*expected, channel));
        }
    }

    void extentIsTheWholeRun() {
        StoredRange range(*m_database, m_run);
        const RunExtent found = range.extent();
        const RunExtent expected = extentOf(m_memory);
        QCOMPARE(found.ticks, expected.ticks);
        QCOMPARE(found.firstMs, expected.firstMs);
        QCOMPARE(found.lastMs, expected.lastMs);
        for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
            QCOMPARE(hasSample(found.lowest[channel]), hasSample(expected.lowest[channel]));
            if (hasSample(found.lowest[channel])) {
                QCOMPARE(found.lowest[channel], expected.lowest[channel]);
                QCOMPARE(found.highest[channel], expected.highest[channel]);
            }
        }
    }

    // A worker asked again before it answers gives only the last request's answer.
    void workerAnswersTheLastRequest() {
        std::mutex mutex;
        std::vector<RangeRequest> answered;
        {
            RangeWorker worker(m_folder.filePath(QStringLiteral("runs.sqlite")).toStdString(),
                               m_run, [&](RangeAnswer answer) {
                                   const std::lock_guard lock(mutex);
                                   answered.push_back(answer.request);
                               });
            for (int step = 0; step < 20; ++step)
                worker.ask(request(timeOf(0), timeOf(kTicks - 1 - step * 100), 400));
            const RangeRequest last = request(timeOf(10), timeOf(500), 400);
            worker.ask(last);
            QTRY_VERIFY([&] {
                const std::lock_guard lock(mutex);
                return !answered.empty() && answered.back() == last;
            }());
        }
        QVERIFY(answered.size() <= 21);
    }
};

QTEST_GUILESS_MAIN(TestStoredRange)
#include "test_storedrange.moc"
