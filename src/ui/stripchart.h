#pragma once

#include "ui/chartrules.h"
#include "ui/regional.h"

#include <QColor>
#include <QPointF>
#include <QRect>
#include <QString>
#include <QWidget>
#include <array>
#include <optional>
#include <vector>

namespace thermavo {

// The strip chart of the main window: one 2-px line per channel over the time of day, the newest
// kMaxChartPoints points of each, a time axis that follows the data and a temperature axis set
// from outside. It only draws; nothing can be zoomed, panned or edited.
class StripChart : public QWidget {
    Q_OBJECT

public:
    static constexpr int kSeriesCount = kChartSeriesCount;

    explicit StripChart(QWidget* parent = nullptr);

    QSize sizeHint() const override;

    // 0..7 for T1..T8; any other index reads as an empty series.
    const SeriesPoints& series(int index) const;
    // Appends the value at the clock's time of day (0 up to 1) and schedules a repaint. A point
    // for an unknown series is dropped.
    void addPoint(int index, double clockTimeOfDay, float value);
    void clearSeries();
    // Fits the temperature axis to the series of the channels that had a sample; keeps it when
    // none had.
    void rescale(const std::array<bool, kSeriesCount>& valid);

    AxisRange temperatureRange() const { return m_temperatureRange; }
    // A range that is not finite or not increasing is ignored.
    void setTemperatureRange(AxisRange range);
    // The time axis runs from the smallest to the largest x of all series; nullopt while they are
    // empty. A single instant is widened so its label sits in the middle.
    std::optional<AxisRange> timeRange() const;

    void setRegionalSettings(const RegionalSettings& regional);

    // Invalid colour and empty title for an unknown series.
    QColor seriesColor(int index) const;
    QString seriesTitle(int index) const;

    // Where the lines are drawn, inside the axes; it starts right of the temperature labels.
    QRect plotArea() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct TemperatureLabel {
        double value = 0.0;
        QString text;
    };
    struct Layout {
        QRect plot;
        double temperatureStep = 1.0;
        std::vector<TemperatureLabel> temperatureLabels;
        qreal widestTemperatureLabel = 0.0;
    };

    Layout layout() const;
    void updateFontMetrics();
    void paintTemperatureAxis(QPainter& painter, const Layout& layout) const;
    void paintTimeAxis(QPainter& painter, const Layout& layout) const;
    void paintSeries(QPainter& painter, const Layout& layout);
    void paintLegend(QPainter& painter) const;

    std::array<SeriesPoints, kSeriesCount> m_series;
    AxisRange m_temperatureRange;
    RegionalSettings m_regional;
    qreal m_lineHeight = 0.0;
    qreal m_timeLabelWidth = 0.0;
    // Reused by every paint, so drawing a line allocates nothing.
    std::vector<QPointF> m_polyline;
};

} // namespace thermavo
