#include "ui/chartrules.h"

#include <QTest>
#include <cmath>
#include <limits>
#include <vector>

using namespace thermavo;

namespace {
constexpr double kSecond = 1.0 / 86400.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Values = std::vector<double>;
} // namespace

class TestChartRules : public QObject {
    Q_OBJECT

private slots:
    void hundredAndFirstPointDropsTheOldest() {
        SeriesPoints series;
        for (int tick = 0; tick <= 100; ++tick) {
            addChartPoint(series, 0.3 + 2 * tick * kSecond, float(tick));
        }
        QCOMPARE(series.size(), kMaxChartPoints);
        QCOMPARE(series.front().y, 1.0);
        QCOMPARE(series.back().y, 100.0);
    }

    // Ticks add the values 0, 1, 2...; dropped points leave gaps in them.
    void pointTimes_data() {
        QTest::addColumn<Values>("clocks");
        QTest::addColumn<Values>("expectedX");
        const double late = 1.0 - 2 * kSecond;
        QTest::newRow("same second, in order") << Values{0.5, 0.5} << Values{0.5, 0.5};
        QTest::newRow("across midnight")
            << Values{late, 0.0, 2 * kSecond} << Values{late, 1.0, 1.0 + 2 * kSecond};
        QTest::newRow("set back after midnight")
            << Values{late, 3 * kSecond, kSecond} << Values{late, 1 + 3 * kSecond, 1 + kSecond};
        QTest::newRow("second midnight")
            << Values{0.9, 0.1, 0.45, 0.8, 0.2} << Values{0.9, 1.1, 1.45, 1.8, 2.2};
        QTest::newRow("non-finite clock dropped")
            << Values{0.4, kNaN, std::numeric_limits<double>::infinity()} << Values{0.4};
    }
    void pointTimes() {
        QFETCH(Values, clocks);
        QFETCH(Values, expectedX);
        SeriesPoints series;
        for (std::size_t tick = 0; tick < clocks.size(); ++tick) {
            addChartPoint(series, clocks[tick], static_cast<float>(tick));
        }
        QCOMPARE(series.size(), expectedX.size());
        for (std::size_t at = 0; at < series.size(); ++at) {
            QVERIFY2(std::fabs(series[at].x - expectedX[at]) < 1e-9,
                     qPrintable(QString::number(series[at].x, 'g', 12)));
            QVERIFY(at == 0 || series[at].y > series[at - 1].y);
        }
    }

    // One value list per channel; "valid" has one flag per list, the rest are invalid.
    void temperatureRange_data() {
        QTest::addColumn<std::vector<Values>>("channels");
        QTest::addColumn<std::vector<bool>>("valid");
        QTest::addColumn<Values>("expected");
        QTest::newRow("21.0 only")
            << std::vector<Values>{{21, 21}} << std::vector{true} << Values{20.5, 21.5};
        QTest::newRow("18.2 to 23.7") << std::vector<Values>{{20, 18.2}, {}, {23.7}}
                                      << std::vector{true, false, true} << Values{17.7, 24.2};
        QTest::newRow("above 100")
            << std::vector<Values>{{120}} << std::vector{true} << Values{99.5, 120.5};
        QTest::newRow("below -100")
            << std::vector<Values>{{-150}} << std::vector{true} << Values{-150.5, -99.5};
        QTest::newRow("no valid channel keeps the range")
            << std::vector<Values>{{21}, {22}} << std::vector{false, false} << Values{};
        QTest::newRow("formerly valid does not widen")
            << std::vector<Values>{{21}, {40, 10}} << std::vector{true, false}
            << Values{20.5, 21.5};
        QTest::newRow("eighth channel counts")
            << std::vector<Values>{{22}, {}, {}, {}, {}, {}, {}, {-40}}
            << std::vector{true, false, false, false, false, false, false, true}
            << Values{-40.5, 22.5};
    }
    void temperatureRange() {
        QFETCH(std::vector<Values>, channels);
        QFETCH(std::vector<bool>, valid);
        QFETCH(Values, expected);
        std::array<SeriesPoints, 8> series;
        std::array<const SeriesPoints*, 8> pointers{};
        std::array<bool, 8> flags{};
        for (std::size_t channel = 0; channel < channels.size(); ++channel) {
            for (const double value : channels[channel]) {
                addChartPoint(series[channel], 0.5, static_cast<float>(value));
            }
            pointers[channel] = &series[channel];
            flags[channel] = valid[channel];
        }
        const std::optional<AxisRange> range = rescaledTemperatureRange(pointers, flags);
        QCOMPARE(range.has_value(), !expected.empty());
        // Values pass through floats: 18.2 comes back as 18.2000008.
        QVERIFY(!range || std::fabs(range->minimum - expected[0]) < 1e-5);
        QVERIFY(!range || std::fabs(range->maximum - expected[1]) < 1e-5);
    }

    void timeStep_data() {
        QTest::addColumn<double>("rangeSeconds");
        QTest::addColumn<double>("axisPixels");
        QTest::addColumn<double>("expectedSeconds");
        // 50-px labels with their 20 % gap: 600 px fit 10 labels.
        QTest::newRow("198 s") << 198.0 << 600.0 << 15.0;
        QTest::newRow("20 s keeps 10 s") << 20.0 << 600.0 << 5.0;
        QTest::newRow("1 h") << 3600.0 << 600.0 << 300.0;
        QTest::newRow("3 days") << 3.0 * 86400 << 600.0 << 6.0 * 3600;
        QTest::newRow("beyond the ladder") << 1e4 * 86400 << 600.0 << 91.0 * 86400;
        QTest::newRow("no label fits") << 198.0 << 10.0 << 300.0;
    }
    void timeStep() {
        QFETCH(double, rangeSeconds);
        QFETCH(double, axisPixels);
        QFETCH(double, expectedSeconds);
        const double step = timeLabelStep(rangeSeconds * kSecond, axisPixels, 50.0);
        QVERIFY2(std::fabs(step / kSecond - expectedSeconds) < 1e-6,
                 qPrintable(QString::number(step / kSecond)));
    }

    void temperatureStep_data() {
        QTest::addColumn<double>("range");
        QTest::addColumn<double>("axisPixels");
        QTest::addColumn<double>("expected");
        // 13-px labels with their 10 % gap: 250 px fit 17 labels.
        QTest::newRow("1") << 1.0 << 250.0 << 0.2;
        QTest::newRow("7") << 7.0 << 250.0 << 0.5;
        QTest::newRow("100") << 100.0 << 250.0 << 10.0;
        QTest::newRow("stops above the range") << 1.0 << 5.0 << 2.0;
        QTest::newRow("infinite range ends")
            << std::numeric_limits<double>::infinity() << 250.0 << 0.2;
    }
    void temperatureStep() {
        QFETCH(double, range);
        QFETCH(double, axisPixels);
        QFETCH(double, expected);
        QCOMPARE(temperatureLabelStep(range, axisPixels, 13.0), expected);
    }

    void temperatureText_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("separators");
        QTest::addColumn<QString>("expected");
        QTest::newRow("21.6") << double(21.6f) << ".,"
                              << "21.6";
        QTest::newRow("grouping") << 1234567.125 << ".,"
                                  << "1,234,567.125";
        QTest::newRow("rounds into a new group") << 999.9996 << ".,"
                                                 << "1,000";
        QTest::newRow("comma decimal") << 1234.5 << ",."
                                       << "1.234,5";
        QTest::newRow("negative") << -0.25 << ".,"
                                  << "-0.25";
        QTest::newRow("tiny negative is zero") << -0.0004 << ".,"
                                               << "0";
    }
    void temperatureText() {
        QFETCH(double, value);
        QFETCH(QString, separators);
        QFETCH(QString, expected);
        RegionalSettings regional;
        regional.decimalSeparator = separators.left(1).toStdString();
        regional.thousandSeparator = separators.mid(1).toStdString();
        QCOMPARE(QString::fromStdString(temperatureLabelText(value, regional)), expected);
    }

    void timeText_data() {
        QTest::addColumn<double>("days");
        QTest::addColumn<QString>("expected");
        QTest::newRow("noon") << 0.5 << "12:00:00";
        QTest::newRow("5 s") << 5 * kSecond << "00:00:05";
        QTest::newRow("10 s less rounding noise") << 10 * kSecond - 1e-15 << "00:00:10";
        QTest::newRow("NaN") << kNaN << "";
    }
    void timeText() {
        QFETCH(double, days);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(timeLabelText(days)), expected);
    }
};

QTEST_APPLESS_MAIN(TestChartRules)
#include "test_chartrules.moc"
