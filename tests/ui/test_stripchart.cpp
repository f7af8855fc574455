#include "ui/stripchart.h"

#include <QImage>
#include <QTest>
#include <cmath>
#include <limits>

using namespace thermavo;

namespace {

constexpr double kSecond = 1.0 / 86400.0;
const QColor kBackground(0xF0, 0xF0, 0xF0);
const QRect kIndicatorCorner(616, 278, 25, 21);
const QRect kBelowLegend(0, 20, 641, 279);

// The chart as the window shows it, with unsmoothed text so that colours stay exact.
class Chart : public StripChart {
public:
    int paints = 0;

    Chart() {
        resize(641, 299);
        QFont sans(QStringLiteral("Sans"), 8);
        sans.setStyleStrategy(QFont::NoAntialias);
        setFont(sans);
        QPalette colours = palette();
        colours.setColor(QPalette::Button, kBackground);
        colours.setColor(QPalette::WindowText, Qt::black);
        setPalette(colours);
    }
    void addLevel(int series, float value) {
        addPoint(series, 0.5, value);
        addPoint(series, 0.5 + 198 * kSecond, value);
    }
    int rowOf(double value) const {
        const QRect plot = plotArea();
        const AxisRange range = temperatureRange();
        return int(plot.top() + plot.height() -
                   (value - range.minimum) / (range.maximum - range.minimum) * plot.height());
    }
    int columnAt(double share) const { return plotArea().left() + int(share * plotArea().width()); }

protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        StripChart::paintEvent(event);
    }
};

// A 2-px line covers at least one whole pixel within a pixel of its centre.
bool colourNear(const QImage& image, int column, int row, const QColor& colour) {
    for (int y = row - 2; y <= row + 2; ++y) {
        if (image.pixelColor(column, y) == colour) {
            return true;
        }
    }
    return false;
}

int countColour(const QImage& image, const QRect& area, const QColor& colour) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += image.pixelColor(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

} // namespace

class TestStripChart : public QObject {
    Q_OBJECT

private slots:
    // Unusable ranges are ignored; far-out ones must draw without hanging on their labels.
    void ranges() {
        const std::array<std::pair<AxisRange, bool>, 5> cases{
            {{{std::numeric_limits<double>::quiet_NaN(), 30.0}, false},
             {{-1e308, 1e308}, false},
             {{30.0, 15.5}, false},
             {{-1e300, 1e300}, true},
             {{1e300, 1.0000001e300}, true}}};
        for (const auto& [range, accepted] : cases) {
            Chart chart;
            chart.addLevel(0, 21.0f);
            chart.setTemperatureRange(range);
            QCOMPARE(chart.temperatureRange().maximum, accepted ? range.maximum : 30.0);
            QVERIFY(!chart.grab().isNull());
        }
        Chart chart;
        chart.addPoint(8, 0.5, 21.0f);
        QVERIFY(chart.series(8).empty() && !chart.timeRange());
    }

    void pointsOfATickRepaintLater() {
        Chart chart;
        chart.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chart));
        QTRY_VERIFY(chart.paints > 0);
        chart.paints = 0;
        for (int index = 0; index < StripChart::kSeriesCount; ++index) {
            chart.addPoint(index, 0.5, 21.0f);
        }
        chart.rescale({true});
        QCOMPARE(chart.paints, 0);
        QTRY_VERIFY(chart.paints > 0);
    }

    void layoutLeavesRoomForLabelsAndIndicator() {
        Chart chart;
        chart.addLevel(0, 21.0f);
        chart.setTemperatureRange({-1500.0, 1500.0});
        const QRect plot = chart.plotArea();
        QVERIFY(plot.top() + plot.height() <= 299 - 15);
        QCOMPARE(plot.left() + plot.width(), 641 - 32);
        const QImage image = chart.grab().toImage();
        // The widest label, "-1,500", lies inside the chart, left of the plot.
        QVERIFY(
            countColour(image, QRect(0, plot.top(), plot.left() - 2, plot.height()), Qt::black));
        QVERIFY(!countColour(image, QRect(0, plot.top(), 1, plot.height()), Qt::black));
        QCOMPARE(countColour(image, kIndicatorCorner, kBackground),
                 kIndicatorCorner.width() * kIndicatorCorner.height());
    }

    void linesInTheirColours_data() {
        QTest::addColumn<int>("series");
        QTest::addColumn<QColor>("colour");
        const std::array<QRgb, 8> colours{0xFF0000, 0x0000FF, 0x808000, 0x008000,
                                          0xFF8000, 0xFF00FF, 0x408080, 0x0080FF};
        for (int series = 0; series < 8; ++series) {
            QTest::addRow("T%d", series + 1) << series << QColor(colours[std::size_t(series)]);
        }
    }
    // Each row draws its series level at 22.5, fits the axis to it, and draws the next series
    // just below that range, over the time axis, where it must be clipped away.
    void linesInTheirColours() {
        QFETCH(int, series);
        QFETCH(QColor, colour);
        Chart chart;
        chart.addLevel(series, 22.5f);
        const int hidden = (series + 1) % StripChart::kSeriesCount;
        chart.addLevel(hidden, 21.9f);
        std::array<bool, StripChart::kSeriesCount> valid{};
        valid[std::size_t(series)] = true;
        chart.rescale(valid);
        QCOMPARE(chart.temperatureRange().minimum, 22.0);
        const QImage image = chart.grab().toImage();
        for (const double share : {0.05, 0.5, 0.95}) {
            const int column = chart.columnAt(share);
            QVERIFY(colourNear(image, column, chart.rowOf(22.5), colour));
            QCOMPARE(image.pixelColor(column, chart.rowOf(22.1)), kBackground);
            QCOMPARE(image.pixelColor(column, chart.rowOf(22.9)), kBackground);
        }
        const QRect plot = chart.plotArea();
        const int right = plot.left() + plot.width() + 2;
        QCOMPARE(countColour(image, QRect(right, 20, 641 - right, plot.height()), colour), 0);
        QCOMPARE(countColour(image, kBelowLegend, chart.seriesColor(hidden)), 0);
        QVERIFY(countColour(image, QRect(435, 0, 206, kBelowLegend.top()), colour) > 0);
    }
};

QTEST_MAIN(TestStripChart)
#include "test_stripchart.moc"
