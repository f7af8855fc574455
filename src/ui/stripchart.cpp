#include "ui/stripchart.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>

namespace thermavo {

namespace {

constexpr int kDesignWidth = 641;
constexpr int kDesignHeight = 299;

constexpr qreal kSeriesPenWidth = 2.0;

// The plot keeps these shares of the chart free at the right and bottom, beyond the room its
// axes need; the activity indicator sits in that corner.
constexpr double kRightMarginShare = 0.05;
constexpr double kBottomMarginShare = 0.05;

constexpr int kTimeTickLength = 4;
constexpr int kTemperatureTickLength = 1;
constexpr int kMinorTickLength = 2;
constexpr int kMinorTicksBetweenLabels = 3;
constexpr int kLabelGap = 2;
constexpr int kTitleGap = 2;
constexpr int kTimeLabelRows = 2;

// The legend's top left corner lies above the chart; its inset brings the letters inside.
constexpr QPoint kLegendCorner{435, -5};
constexpr int kLegendInset = 4;
constexpr int kLegendSpacing = 8;

constexpr double kSingleInstantHalfSpan = 5.0 * kSecondDays;
// Labels at a multiple of the step within this share of a step from an end still count, so
// rounding never drops the label at the range's end.
constexpr double kLabelTolerance = 1e-9;

const QString kTimeTitle = QStringLiteral("time");
const QString kTemperatureTitle = QStringLiteral("\u00B0C");
const QString kWidestTimeLabel = QStringLiteral("00:00:00");

const SeriesPoints kNoPoints;

bool knownSeries(int index) {
    return index >= 0 && index < kChartSeriesCount;
}

// Beyond this many steps from zero the multiples no longer fit a whole number.
constexpr double kLargestMultiple = 1e18;

// The multiples of step from the first at or above minimum to the last at or below maximum; none
// when they are too far from zero to count.
std::pair<long long, long long> labelMultiples(double minimum, double maximum, double step) {
    const double first = std::ceil(minimum / step - kLabelTolerance);
    const double last = std::floor(maximum / step + kLabelTolerance);
    if (!(std::fabs(first) < kLargestMultiple && std::fabs(last) < kLargestMultiple)) {
        return {1, 0};
    }
    return {static_cast<long long>(first), static_cast<long long>(last)};
}

} // namespace

StripChart::StripChart(QWidget* parent) : QWidget(parent) {
    m_polyline.reserve(kMaxChartPoints);
    updateFontMetrics();
}

QSize StripChart::sizeHint() const {
    return {kDesignWidth, kDesignHeight};
}

const SeriesPoints& StripChart::series(int index) const {
    return knownSeries(index) ? m_series[static_cast<std::size_t>(index)] : kNoPoints;
}

void StripChart::addPoint(int index, double clockTimeOfDay, float value) {
    if (!knownSeries(index)) {
        return;
    }
    addChartPoint(m_series[static_cast<std::size_t>(index)], clockTimeOfDay, value);
    update();
}

void StripChart::clearSeries() {
    for (SeriesPoints& points : m_series) {
        points.clear();
    }
    update();
}

void StripChart::rescale(const std::array<bool, kSeriesCount>& valid) {
    std::array<const SeriesPoints*, kSeriesCount> series{};
    std::transform(m_series.begin(), m_series.end(), series.begin(),
                   [](const SeriesPoints& points) { return &points; });
    if (const auto range = rescaledTemperatureRange(series, valid)) {
        setTemperatureRange(*range);
    }
}

void StripChart::setTemperatureRange(AxisRange range) {
    if (!std::isfinite(range.maximum - range.minimum) || !(range.minimum < range.maximum)) {
        return;
    }
    if (range.minimum != m_temperatureRange.minimum ||
        range.maximum != m_temperatureRange.maximum) {
        m_temperatureRange = range;
        update();
    }
}

std::optional<AxisRange> StripChart::timeRange() const {
    std::optional<AxisRange> range;
    for (const SeriesPoints& points : m_series) {
        for (const ChartPoint& point : points) {
            if (!range) {
                range = AxisRange{point.x, point.x};
            }
            range->minimum = std::min(range->minimum, point.x);
            range->maximum = std::max(range->maximum, point.x);
        }
    }
    if (range && !(range->minimum < range->maximum)) {
        range->minimum -= kSingleInstantHalfSpan;
        range->maximum += kSingleInstantHalfSpan;
    }
    return range;
}

void StripChart::setRegionalSettings(const RegionalSettings& regional) {
    m_regional = regional;
    update();
}

QColor StripChart::seriesColor(int index) const {
    return knownSeries(index)
               ? QColor(static_cast<QRgb>(kChartSeriesColours[static_cast<std::size_t>(index)]))
               : QColor();
}

QString StripChart::seriesTitle(int index) const {
    return knownSeries(index) ? QStringLiteral("T%1").arg(index + 1) : QString();
}

QRect StripChart::plotArea() const {
    return layout().plot;
}

void StripChart::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        updateFontMetrics();
        update();
    }
    QWidget::changeEvent(event);
}

void StripChart::updateFontMetrics() {
    const QFontMetricsF metrics(font());
    m_lineHeight = metrics.height();
    m_timeLabelWidth = metrics.horizontalAdvance(kWidestTimeLabel);
}

// The bottom and top come first, as the temperature labels depend on the plot's height and the
// plot's left edge on the widest of them.
StripChart::Layout StripChart::layout() const {
    Layout result;
    const int lineHeight = static_cast<int>(std::ceil(m_lineHeight));
    const int top = (lineHeight + 1) / 2;
    const int bottomMargin = static_cast<int>(std::lround(height() * kBottomMarginShare));
    const int timeAxisRoom =
        kTimeTickLength + kLabelGap + kTimeLabelRows * lineHeight + kTitleGap + lineHeight;
    const int plotHeight = std::max(1, height() - bottomMargin - timeAxisRoom - top);

    const AxisRange range = m_temperatureRange;
    result.temperatureStep =
        temperatureLabelStep(range.maximum - range.minimum, plotHeight, m_lineHeight);
    const QFontMetricsF metrics(font());
    const auto [first, last] = labelMultiples(range.minimum, range.maximum, result.temperatureStep);
    for (long long multiple = first; multiple <= last; ++multiple) {
        const double value = static_cast<double>(multiple) * result.temperatureStep;
        const QString text = QString::fromStdString(temperatureLabelText(value, m_regional));
        result.widestTemperatureLabel =
            std::max(result.widestTemperatureLabel, metrics.horizontalAdvance(text));
        result.temperatureLabels.push_back({value, text});
    }

    // The rotated title takes one line's height, then the labels, then the axis line.
    const int left = kTitleGap + lineHeight + kTitleGap +
                     static_cast<int>(std::ceil(result.widestTemperatureLabel)) + kLabelGap + 1;
    const int rightMargin = static_cast<int>(std::lround(width() * kRightMarginShare));
    result.plot = QRect(left, top, std::max(1, width() - rightMargin - left), plotHeight);
    return result;
}

void StripChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    painter.setPen(palette().color(QPalette::WindowText));

    const Layout current = layout();
    paintTemperatureAxis(painter, current);
    paintTimeAxis(painter, current);
    paintSeries(painter, current);
    paintLegend(painter);
}

void StripChart::paintTemperatureAxis(QPainter& painter, const Layout& layout) const {
    const QRect& plot = layout.plot;
    const AxisRange range = m_temperatureRange;
    const double pixelsPerDegree = plot.height() / (range.maximum - range.minimum);
    const auto toY = [&](double value) {
        return plot.top() + plot.height() - (value - range.minimum) * pixelsPerDegree;
    };

    const int axisX = plot.left() - 1;
    painter.drawLine(QPointF(axisX, plot.top()), QPointF(axisX, plot.top() + plot.height()));

    const qreal labelRight = axisX - kLabelGap;
    for (const TemperatureLabel& label : layout.temperatureLabels) {
        const qreal y = std::round(toY(label.value));
        painter.drawLine(QPointF(plot.left(), y),
                         QPointF(plot.left() + kTemperatureTickLength - 1, y));
        const QRectF box(labelRight - layout.widestTemperatureLabel, y - m_lineHeight / 2,
                         layout.widestTemperatureLabel, m_lineHeight);
        painter.drawText(box, Qt::AlignRight | Qt::AlignVCenter, label.text);
    }

    // Minor ticks also fill the stretches before the first and after the last label.
    const auto [first, last] = labelMultiples(range.minimum, range.maximum, layout.temperatureStep);
    for (long long multiple = first - 1; multiple <= last; ++multiple) {
        for (int minor = 1; minor <= kMinorTicksBetweenLabels; ++minor) {
            const double value = (static_cast<double>(multiple) +
                                  static_cast<double>(minor) / (kMinorTicksBetweenLabels + 1)) *
                                 layout.temperatureStep;
            if (value < range.minimum || value > range.maximum) {
                continue;
            }
            const qreal y = std::round(toY(value));
            painter.drawLine(QPointF(plot.left(), y),
                             QPointF(plot.left() + kMinorTickLength - 1, y));
        }
    }

    const qreal titleWidth = painter.fontMetrics().horizontalAdvance(kTemperatureTitle);
    painter.save();
    painter.translate(kTitleGap, plot.top() + (plot.height() + titleWidth) / 2);
    painter.rotate(-90.0);
    painter.drawText(QRectF(0, 0, titleWidth, m_lineHeight), Qt::AlignCenter, kTemperatureTitle);
    painter.restore();
}

void StripChart::paintTimeAxis(QPainter& painter, const Layout& layout) const {
    const QRect& plot = layout.plot;
    const int axisY = plot.top() + plot.height();
    painter.drawLine(QPointF(plot.left() - 1, axisY), QPointF(plot.left() + plot.width(), axisY));

    const qreal labelsTop = axisY + 1 + kTimeTickLength + kLabelGap;
    const QRectF titleBox(plot.left(), labelsTop + kTimeLabelRows * m_lineHeight + kTitleGap,
                          plot.width(), m_lineHeight);
    painter.drawText(titleBox, Qt::AlignHCenter | Qt::AlignTop, kTimeTitle);

    const std::optional<AxisRange> range = timeRange();
    if (!range) {
        return;
    }
    const double span = range->maximum - range->minimum;
    const double step = timeLabelStep(span, plot.width(), m_timeLabelWidth);
    const auto [first, last] = labelMultiples(range->minimum, range->maximum, step);
    for (long long multiple = first; multiple <= last; ++multiple) {
        const double value = static_cast<double>(multiple) * step;
        const qreal x = std::round(plot.left() + (value - range->minimum) / span * plot.width());
        painter.drawLine(QPointF(x, axisY + 1), QPointF(x, axisY + kTimeTickLength));
        // The row follows the label's own multiple, so a label keeps its row while the chart
        // slides.
        const qreal rowTop = labelsTop + static_cast<qreal>(multiple & 1) * m_lineHeight;
        const QRectF box(x - m_timeLabelWidth, rowTop, 2 * m_timeLabelWidth, m_lineHeight);
        painter.drawText(box, Qt::AlignHCenter | Qt::AlignTop,
                         QString::fromStdString(timeLabelText(value)));
    }
}

void StripChart::paintSeries(QPainter& painter, const Layout& layout) {
    const std::optional<AxisRange> times = timeRange();
    if (!times) {
        return;
    }
    const QRect& plot = layout.plot;
    const AxisRange temperatures = m_temperatureRange;
    const double xScale = plot.width() / (times->maximum - times->minimum);
    const double yScale = plot.height() / (temperatures.maximum - temperatures.minimum);
    const double bottom = plot.top() + plot.height();

    painter.save();
    painter.setClipRect(plot);
    painter.setRenderHint(QPainter::Antialiasing);
    for (std::size_t index = 0; index < m_series.size(); ++index) {
        m_polyline.clear();
        for (const ChartPoint& point : m_series[index]) {
            m_polyline.emplace_back(plot.left() + (point.x - times->minimum) * xScale,
                                    bottom - (point.y - temperatures.minimum) * yScale);
        }
        if (m_polyline.size() < 2) {
            continue;
        }
        painter.setPen(QPen(QColor(static_cast<QRgb>(kChartSeriesColours[index])), kSeriesPenWidth,
                            Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(m_polyline.data(), static_cast<int>(m_polyline.size()));
    }
    painter.restore();
}

void StripChart::paintLegend(QPainter& painter) const {
    const QFontMetricsF metrics(font());
    qreal x = kLegendCorner.x() + kLegendInset;
    const qreal top = kLegendCorner.y() + kLegendInset;
    for (int index = 0; index < kSeriesCount; ++index) {
        const QString title = seriesTitle(index);
        const qreal titleWidth = metrics.horizontalAdvance(title);
        painter.setPen(seriesColor(index));
        painter.drawText(QRectF(x, top, titleWidth, m_lineHeight), Qt::AlignLeft | Qt::AlignTop,
                         title);
        x += titleWidth + kLegendSpacing;
    }
}

} // namespace thermavo
