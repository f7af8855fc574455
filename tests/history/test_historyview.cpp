#include "history/historyview.h"
#include "history/runstore.h"

#include <QTest>
#include <algorithm>
#include <random>

using namespace thermavo;

namespace {

constexpr std::int64_t kStart = 1'733'670'720'000; // 2024-12-08 15:12:00 UTC
constexpr ChannelMask kAll{true, true, true, true, true, true, true, true};

TickValues values(float t1, float t2 = kNoSample) {
    TickValues tick;
    tick.fill(kNoSample);
    tick[0] = t1;
    tick[1] = t2;
    return tick;
}

// Ticks one second apart from kStart; "|" starts a new segment, "-" is a tick without samples,
// a number is T1's value (T2 holds the negated value). The time goes on across a break: "a|b"
// has b 10 s after a.
RunStore storeOf(const QString& ticks) {
    RunStore store;
    std::int64_t time = kStart;
    for (const QString& part : ticks.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("|")) {
            store.breakSegment();
            time += 9000;
            continue;
        }
        const float value = part == QLatin1String("-") ? kNoSample : part.toFloat();
        store.append(time, values(value, hasSample(value) ? -value : kNoSample));
        time += 1000;
    }
    return store;
}

double at(double secondsAfterStart) {
    return secondsOf(kStart) + secondsAfterStart;
}

} // namespace

class TestHistoryView : public QObject {
    Q_OBJECT

private slots:
    void storeKeepsEveryTickCompactly() {
        RunStore store;
        const std::size_t ticks = 3 * RunStore::kBlockTicks + 5;
        for (std::size_t tick = 0; tick < ticks; ++tick)
            store.append(kStart + static_cast<std::int64_t>(tick) * 1000,
                         values(static_cast<float>(tick)));
        QCOMPARE(store.size(), ticks);
        QCOMPARE(store.value(ticks - 1, 0), static_cast<float>(ticks - 1));
        QCOMPARE(store.time(RunStore::kBlockTicks), kStart + 4096 * 1000);
        QCOMPARE(store.lowest(0), 0.0f);
        QCOMPARE(store.highest(0), static_cast<float>(ticks - 1));
        QVERIFY(!hasSample(store.lowest(2)));
        QCOMPARE(store.lowerBound(kStart + 1500), std::size_t{2});
        QCOMPARE(store.upperBound(kStart + 2000), std::size_t{3});
        QCOMPARE(store.upperBound(kStart - 1), std::size_t{0});
        // A time and eight floats a tick and the summaries of 64 ticks, in whole blocks.
        const double perTick = static_cast<double>(store.bytesUsed()) / (4.0 * 4096);
        QVERIFY2(perTick < 43.2, qPrintable(QString::number(perTick)));
    }

    // The 64-tick summaries give what a look at every tick gives, for any range of ticks.
    void summariesAgreeWithEveryTick() {
        RunStore store;
        std::mt19937 random(20);
        std::uniform_real_distribution<float> value(-45.0f, 150.0f);
        for (int tick = 0; tick < 10'000; ++tick) {
            TickValues values;
            for (float& channel : values)
                channel = random() % 5 == 0 ? kNoSample : std::round(value(random));
            store.append(kStart + tick * 1000LL, values);
        }
        for (int round = 0; round < 300; ++round) {
            std::size_t from = random() % store.size();
            std::size_t to = random() % (store.size() + 1);
            if (from > to)
                std::swap(from, to);
            const int channel = static_cast<int>(random() % kHistoryChannels);
            RunStore::Extremes expected;
            for (std::size_t tick = from; tick < to; ++tick) {
                const float sample = store.value(tick, channel);
                if (!hasSample(sample))
                    continue;
                if (expected.count == 0)
                    expected.first = expected.lowest = expected.highest = tick;
                expected.last = tick;
                if (sample < store.value(expected.lowest, channel))
                    expected.lowest = tick;
                if (sample > store.value(expected.highest, channel))
                    expected.highest = tick;
                ++expected.count;
                expected.sum += sample;
            }
            const RunStore::Extremes found = store.extremes(channel, from, to);
            QCOMPARE(found.count, expected.count);
            if (expected.count == 0)
                continue;
            QCOMPARE(found.first, expected.first);
            QCOMPARE(found.last, expected.last);
            QCOMPARE(found.lowest, expected.lowest);
            QCOMPARE(found.highest, expected.highest);
            QCOMPARE(found.sum, expected.sum);
        }
    }

    void clockSetBackKeepsTheOrder() {
        RunStore store;
        store.append(kStart, values(1));
        store.append(kStart - 5000, values(2));
        QCOMPARE(store.time(1), kStart);

        RunStore read;
        read.appendUnsorted(kStart + 2000, values(3));
        read.appendUnsorted(kStart, values(1));
        read.appendUnsorted(kStart, values(2));
        read.sortByTime();
        QCOMPARE(read.value(0, 0), 1.0f);
        QCOMPARE(read.value(1, 0), 2.0f);
        QCOMPARE(read.value(2, 0), 3.0f);
    }

    void segments() {
        const RunStore store = storeOf("1 2 | 3 4 | 5");
        QCOMPARE(store.segmentStarts(), (std::vector<std::size_t>{2, 4}));
        QVERIFY(store.startsSegment(2));
        QVERIFY(!store.startsSegment(3));
        QCOMPARE(store.segmentEnd(0), std::size_t{2});
        QCOMPARE(store.segmentEnd(3), std::size_t{4});
        QCOMPARE(store.segmentEnd(4), std::size_t{5});
        // A break before the first tick is none.
        RunStore fresh;
        fresh.breakSegment();
        fresh.append(kStart, values(1));
        QVERIFY(fresh.segmentStarts().empty());
    }

    // Runs of ticks as "count x step" in seconds, a pause "+seconds" between them; the breaks
    // are the ticks that start a segment.
    void longPausesOfALogAreBreaks_data() {
        QTest::addColumn<QString>("runs");
        QTest::addColumn<std::vector<std::size_t>>("breaks");
        QTest::newRow("2 s with one pause of a minute")
            << "5x2 +52 3x2 +6 1x2" << std::vector<std::size_t>{5};
        QTest::newRow("1 s log, then 10 s log an hour later")
            << "100x1 +3600 50x10" << std::vector<std::size_t>{100};
        QTest::newRow("interval changed from 1 s to 10 s while logging")
            << "100x1 50x10" << std::vector<std::size_t>{};
        QTest::newRow("interval changed from 10 s to 1 s while logging")
            << "50x10 100x1" << std::vector<std::size_t>{};
        QTest::newRow("10 s log with a pause of 5 minutes, then 1 s")
            << "50x10 +300 20x10 100x1" << std::vector<std::size_t>{50};
        QTest::newRow("three ticks") << "3x1" << std::vector<std::size_t>{};
    }

    void longPausesOfALogAreBreaks() {
        QFETCH(QString, runs);
        QFETCH(std::vector<std::size_t>, breaks);
        RunStore store;
        std::int64_t time = kStart;
        for (const QString& run : runs.split(' ')) {
            if (run.startsWith('+')) {
                time += run.mid(1).toLongLong() * 1000;
                continue;
            }
            const QStringList countStep = run.split('x');
            for (int tick = 0; tick < countStep[0].toInt(); ++tick) {
                store.appendUnsorted(time, values(1));
                time += countStep[1].toLongLong() * 1000;
            }
        }
        store.sortByTime();
        store.breakAtLongPauses(5.0);
        QCOMPARE(store.segmentStarts(), breaks);
    }

    void fitAll_data() {
        QTest::addColumn<QString>("ticks");
        QTest::addColumn<double>("timeLower");
        QTest::addColumn<double>("timeUpper");
        QTest::addColumn<double>("lowest");
        QTest::addColumn<double>("highest");
        QTest::newRow("no ticks: the last minute, 15 to 30") << "" << -60.0 << 0.0 << 15.0 << 30.0;
        QTest::newRow("one tick in the middle of five seconds")
            << "21" << -2.5 << 2.5 << 20.5 << 21.5;
        QTest::newRow("across a break, half a degree at least")
            << "20 20.2 | 20.4" << 0.0 << 11.0 << 19.5 << 20.9;
        QTest::newRow("5 % of the values' span") << "-20 - 0 20" << -1.0 << 4.0 << -22.0 << 22.0;
        QTest::newRow("ticks without any sample") << "- -" << -2.0 << 3.0 << 15.0 << 30.0;
    }

    void fitAll() {
        QFETCH(QString, ticks);
        QFETCH(double, timeLower);
        QFETCH(double, timeUpper);
        QFETCH(double, lowest);
        QFETCH(double, highest);
        const RunStore store = storeOf(ticks);
        ChannelMask onlyT1{};
        onlyT1[0] = true;
        ViewState view;
        view.fitAll(store, onlyT1, at(0));
        QCOMPARE(view.time().lower, at(timeLower));
        QCOMPARE(view.time().upper, at(timeUpper));
        // The values are floats: 20.4 is 20.3999996.
        QVERIFY(std::fabs(view.temperature().lower - lowest) < 1e-5);
        QVERIFY(std::fabs(view.temperature().upper - highest) < 1e-5);
        QVERIFY(view.following());
    }

    void fitAllTakesOnlyTheShownChannels() {
        const RunStore store = storeOf("20 22");
        ChannelMask onlyT1{};
        onlyT1[0] = true;
        QCOMPARE(wholeTemperatureSpan(store, onlyT1), (Span{19.5, 22.5}));
    }

    void zoomAboutAPoint_data() {
        QTest::addColumn<double>("point");
        QTest::addColumn<double>("factor");
        QTest::addColumn<double>("lower");
        QTest::addColumn<double>("upper");
        QTest::newRow("in about the middle") << 50.0 << 0.5 << 25.0 << 75.0;
        QTest::newRow("in about the left quarter") << 25.0 << 0.5 << 12.5 << 62.5;
        QTest::newRow("out about the right edge") << 100.0 << 2.0 << -100.0 << 100.0;
        QTest::newRow("no narrower than the narrowest") << 50.0 << 0.01 << 47.5 << 52.5;
        QTest::newRow("no factor, no zoom") << 50.0 << 0.0 << 0.0 << 100.0;
    }

    void zoomAboutAPoint() {
        QFETCH(double, point);
        QFETCH(double, factor);
        QFETCH(double, lower);
        QFETCH(double, upper);
        const Span zoomed = zoomedAbout({0.0, 100.0}, point, factor, kNarrowestTimeSpan);
        QCOMPARE(zoomed.lower, lower);
        QCOMPARE(zoomed.upper, upper);
    }

    void followsNewSamples() {
        RunStore store = storeOf("1 2 3 4 5 6 7 8 9 10");
        ViewState view;
        view.fitAll(store, kAll, at(0));
        store.append(kStart + 10'000, values(11));
        QVERIFY(view.samplesAdded(store, kAll, at(10)));
        QCOMPARE(view.time(), (Span{at(0), at(10)}));
        QVERIFY(view.wholeRun());

        // Zoomed in with the right edge at the newest sample: the span moves with the samples.
        view.moved(store, {at(5), at(10)}, view.temperature());
        QVERIFY(view.following());
        QVERIFY(!view.wholeRun());
        store.append(kStart + 11'000, values(12));
        QVERIFY(view.samplesAdded(store, kAll, at(11)));
        QCOMPARE(view.time(), (Span{at(6), at(11)}));

        // Panned back: it stays where it was put.
        view.moved(store, {at(2), at(8)}, view.temperature());
        QVERIFY(!view.following());
        store.append(kStart + 12'000, values(13));
        QVERIFY(!view.samplesAdded(store, kAll, at(12)));
        QCOMPARE(view.time(), (Span{at(2), at(8)}));

        // Until it is fitted again.
        view.fitAll(store, kAll, at(12));
        QCOMPARE(view.time(), (Span{at(0), at(12)}));
        QVERIFY(view.following());
    }

    void movedKeepsTheNarrowestSpans() {
        const RunStore store = storeOf("1 2");
        ViewState view;
        view.moved(store, {at(0), at(1)}, {20.0, 20.01});
        QCOMPARE(view.time().size(), kNarrowestTimeSpan);
        QVERIFY(qFuzzyCompare(view.temperature().size(), kNarrowestTemperatureSpan));
    }

    void valueUnderTheCursor_data() {
        QTest::addColumn<double>("cursor");
        QTest::addColumn<int>("tick");
        // Ticks at 0, 1, 2 s; a break; ticks at 12 and 13 s.
        QTest::newRow("before the first tick") << -0.5 << -1;
        QTest::newRow("at a tick") << 1.0 << 1;
        QTest::newRow("between two ticks: the one before") << 1.999 << 1;
        QTest::newRow("at the last tick of a segment") << 2.0 << 2;
        QTest::newRow("in the break") << 2.5 << -1;
        QTest::newRow("just before the next segment") << 11.999 << -1;
        QTest::newRow("at the first tick after the break") << 12.0 << 3;
        QTest::newRow("after the newest tick") << 20.0 << 4;
    }

    void valueUnderTheCursor() {
        QFETCH(double, cursor);
        QFETCH(int, tick);
        const RunStore store = storeOf("10 11 12 | 13 14");
        const std::optional<std::size_t> found = tickAt(store, at(cursor));
        QCOMPARE(found ? static_cast<int>(*found) : -1, tick);
    }

    void statisticsOfTheSpan_data() {
        QTest::addColumn<double>("from");
        QTest::addColumn<double>("to");
        QTest::addColumn<int>("count");
        QTest::addColumn<float>("minimum");
        QTest::addColumn<float>("maximum");
        QTest::addColumn<double>("mean");
        // T1 at 0..4 s: 20, no sample, 23, 19, 24.
        QTest::newRow("all, the tick without a sample left out")
            << -10.0 << 10.0 << 4 << 19.0f << 24.0f << 21.5;
        QTest::newRow("ends included") << 2.0 << 3.0 << 2 << 19.0f << 23.0f << 21.0;
        QTest::newRow("between ticks") << 0.5 << 1.5 << 0 << kNoSample << kNoSample << 0.0;
    }

    void statisticsOfTheSpan() {
        QFETCH(double, from);
        QFETCH(double, to);
        QFETCH(int, count);
        QFETCH(float, minimum);
        QFETCH(float, maximum);
        QFETCH(double, mean);
        const RunStore store = storeOf("20 - 23 19 24");
        const SpanStatistics stats = statistics(store, {at(from), at(to)});
        QCOMPARE(static_cast<int>(stats[0].count), count);
        if (count > 0) {
            QCOMPARE(stats[0].minimum, minimum);
            QCOMPARE(stats[0].maximum, maximum);
            QCOMPARE(stats[0].mean, mean);
            QCOMPARE(stats[1].maximum, -minimum);
        }
        QCOMPARE(stats[2].count, std::size_t{0});
    }

    void plotGetsEveryTickWhileFew() {
        const RunStore store = storeOf("1 - 3 | 4 5");
        std::vector<PlotPoint> points;
        plotPoints(store, {at(0), at(20)}, 0, 100, points);
        QCOMPARE(points.size(), std::size_t{6});
        QCOMPARE(points[0].value, 1.0);
        QVERIFY(std::isnan(points[1].value)); // the tick without a sample
        QCOMPARE(points[2].value, 3.0);
        QVERIFY(std::isnan(points[3].value)); // the break
        QVERIFY(points[3].key > at(2) && points[3].key < at(12));
        QCOMPARE(points[4].key, at(12));
        // One tick beyond each edge of the view, so the line reaches the edges.
        plotPoints(store, {at(0.5), at(1.5)}, 0, 100, points);
        QCOMPARE(points.size(), std::size_t{3});
        QCOMPARE(points[0].key, at(0));
        QCOMPARE(points[2].key, at(2));
    }

    void plotGetsEveryExtremeOfManyTicks() {
        RunStore store;
        const int ticks = 100'000;
        for (int tick = 0; tick < ticks; ++tick) {
            const float value = tick == 54'321 ? 90.0f : tick == 77'777 ? -40.0f : 20.0f;
            store.append(kStart + tick * 1000LL, values(value));
            if (tick == 60'000)
                store.breakSegment();
        }
        std::vector<PlotPoint> points;
        const std::size_t budget = 2000;
        plotPoints(store, {at(0), at(ticks)}, 0, budget, points);
        QVERIFY2(points.size() <= budget + 8, qPrintable(QString::number(points.size())));
        QVERIFY(
            std::is_sorted(points.begin(), points.end(),
                           [](const PlotPoint& a, const PlotPoint& b) { return a.key < b.key; }));
        const auto has = [&](double key, double value) {
            return std::any_of(points.begin(), points.end(), [&](const PlotPoint& point) {
                return point.key == key && point.value == value;
            });
        };
        QVERIFY(has(at(54'321), 90.0));
        QVERIFY(has(at(77'777), -40.0));
        QVERIFY(has(at(0), 20.0));
        QVERIFY(has(at(ticks - 1), 20.0));
        QCOMPARE(std::count_if(points.begin(), points.end(),
                               [](const PlotPoint& point) { return std::isnan(point.value); }),
                 1);
    }

    void csvRows_data() {
        QTest::addColumn<int>("offset");
        QTest::addColumn<bool>("allColumns");
        QTest::addColumn<QString>("row");
        QTest::newRow("winter in Berlin")
            << 3600 << true << "2024-12-08 15:12:00,UTC+01:00,21.13,-21.13,,,,,,";
        QTest::newRow("west of Greenwich, half hours")
            << -(3 * 3600 + 1800) << true << "2024-12-08 15:12:00,UTC-03:30,21.13,-21.13,,,,,,";
        QTest::newRow("T2 hidden") << 0 << false << "2024-12-08 15:12:00,UTC+00:00,21.13,,,,,,";
    }

    void csvRows() {
        QFETCH(int, offset);
        QFETCH(bool, allColumns);
        QFETCH(QString, row);
        RunStore store;
        store.append(kStart, values(21.125f, -21.125f));
        ChannelMask columns = kAll;
        columns[1] = allColumns;
        const LocalDateTime when{2024, 12, 8, 15, 12, 0, 999};
        QCOMPARE(QString::fromStdString(csvRow(when, offset, store, 0, columns)),
                 row + QStringLiteral("\r\n"));
        QCOMPARE(QString::fromStdString(csvHeader(columns)),
                 allColumns ? QStringLiteral("Date and time,UTC offset,T1,T2,T3,T4,T5,T6,T7,T8\r\n")
                            : QStringLiteral("Date and time,UTC offset,T1,T3,T4,T5,T6,T7,T8\r\n"));
    }
};

QTEST_APPLESS_MAIN(TestHistoryView)
#include "test_historyview.moc"
