#include "history/historyplot.h"

#include "ui/chartrules.h"

namespace thermavo {

namespace {

// The temperature labels as the strip chart writes them: "#,##0.###" with the regional
// separators.
class TemperatureTicker : public QCPAxisTicker {
public:
    explicit TemperatureTicker(RegionalSettings regional) : m_regional(std::move(regional)) {}

protected:
    QString getTickLabel(double tick, const QLocale&, QChar, int) override {
        return QString::fromStdString(temperatureLabelText(tick, m_regional));
    }

private:
    RegionalSettings m_regional;
};

} // namespace

QString dateTimeAxisFormat(const RegionalSettings& regional) {
    const QString separator = QString::fromStdString(regional.timeSeparator)
                                  .replace(QLatin1Char('\''), QStringLiteral("''"));
    const QString quotedSeparator = QLatin1Char('\'') + separator + QLatin1Char('\'');
    QString hour = regional.twelveHour ? QStringLiteral("h") : QStringLiteral("H");
    if (regional.hourLeadingZero) {
        hour += hour;
    }
    QString time =
        hour + quotedSeparator + QStringLiteral("mm") + quotedSeparator + QStringLiteral("ss");
    if (regional.twelveHour) {
        time =
            regional.designatorFirst ? QStringLiteral("AP ") + time : time + QStringLiteral(" AP");
    }
    return time + QLatin1Char('\n') + QString::fromStdString(regional.shortDatePattern);
}

HistoryPlot::HistoryPlot(QWidget* parent) : QCustomPlot(parent) {
    setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    axisRect()->setRangeDrag(Qt::Horizontal | Qt::Vertical);
    axisRect()->setRangeZoom(Qt::Horizontal);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    auto dateTicker = QSharedPointer<QCPAxisTickerDateTime>::create();
    dateTicker->setDateTimeSpec(Qt::LocalTime);
    xAxis->setTicker(dateTicker);
    xAxis->setLabel(QStringLiteral("time"));
    yAxis->setLabel(QStringLiteral("\u00B0C"));
    setRegionalSettings(RegionalSettings{});
}

void HistoryPlot::setRegionalSettings(const RegionalSettings& regional) {
    if (auto dateTicker = xAxis->ticker().dynamicCast<QCPAxisTickerDateTime>()) {
        dateTicker->setDateTimeFormat(dateTimeAxisFormat(regional));
    }
    yAxis->setTicker(QSharedPointer<TemperatureTicker>::create(regional));
}

void HistoryPlot::mousePressEvent(QMouseEvent* event) {
    const bool rectangle =
        event->button() == Qt::RightButton ||
        (event->button() == Qt::LeftButton && event->modifiers().testFlag(Qt::ShiftModifier));
    setSelectionRectMode(rectangle ? QCP::srmZoom : QCP::srmNone);
    QCustomPlot::mousePressEvent(event);
}

void HistoryPlot::wheelEvent(QWheelEvent* event) {
    axisRect()->setRangeZoom(event->modifiers().testFlag(Qt::ControlModifier) ? Qt::Vertical
                                                                              : Qt::Horizontal);
    QCustomPlot::wheelEvent(event);
}

} // namespace thermavo
