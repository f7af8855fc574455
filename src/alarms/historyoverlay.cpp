#include "alarms/historyoverlay.h"

#include "alarms/alarmfeature.h"
#include "alarms/alarmtext.h"
#include "history/historyplot.h"
#include "history/historywindow.h"
#include "ui/chartrules.h"

#include <cmath>

namespace thermavo::alarms {

namespace {

constexpr double kMarkerSize = 8.0;
// How far from a marker, in pixels, the cursor still reads it out.
constexpr double kCursorReach = 5.0;
// Markers of events without a temperature sit at the top of the plot.
constexpr double kTopMarkerRatio = 0.04;
constexpr int kShadeAlpha = 40;
// Below the curves, so they stay readable through the shading.
const QString kShadeLayer = QStringLiteral("grid");

QColor channelColour(int channel) {
    if (channel < 0)
        return QColor(Qt::darkGray);
    return QColor(static_cast<QRgb>(kChartSeriesColours.at(static_cast<std::size_t>(channel))));
}

int limitSlot(int channel, Kind kind) {
    return channel * 2 + (kind == Kind::High ? 0 : 1);
}

double secondsOfMoment(const Moment& moment) {
    return static_cast<double>(moment.msSinceEpoch) / 1000.0;
}

} // namespace

HistoryOverlay::HistoryOverlay(HistoryWindow& window, const AlarmFeature& alarms)
    : QObject(&window), m_window(window), m_alarms(alarms), m_decimal(alarms.decimal()) {
    HistoryPlot& plot = m_window.plot();
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        for (const Kind kind : {Kind::High, Kind::Low}) {
            auto* line = new QCPItemStraightLine(&plot);
            line->setPen(QPen(channelColour(channel), 1.0, Qt::DashLine));
            line->setClipToAxisRect(true);
            // Level lines stay crisp, in their own colour.
            line->setAntialiased(false);
            line->setSelectable(false);
            m_limits.at(static_cast<std::size_t>(limitSlot(channel, kind))) = line;
        }
    }
    settingsChanged();
    for (const AlarmEvent& event : m_alarms.runEvents())
        add(event);
    connect(&m_alarms, &AlarmFeature::alarmEvent, this, [this](const AlarmEvent& event) {
        add(event);
        m_window.plot().replot(QCustomPlot::rpQueuedReplot);
    });
    connect(&m_alarms, &AlarmFeature::alarmsChanged, this, [this] {
        if (m_alarms.rules().settings() == m_settings)
            return;
        settingsChanged();
        m_window.plot().replot(QCustomPlot::rpQueuedReplot);
    });
    connect(&plot, &QCustomPlot::beforeReplot, this, &HistoryOverlay::arrange);
    m_window.setCursorNote([this](double seconds) { return cursorNote(seconds); });
}

QCPItemStraightLine* HistoryOverlay::limitLine(int channel, Kind kind) const {
    const Kind limitKind = kind == Kind::High ? Kind::High : Kind::Low;
    const ChannelAlarms& alarms = m_settings.channels.at(static_cast<std::size_t>(channel));
    if (!(limitKind == Kind::High ? alarms.high : alarms.low))
        return nullptr;
    return m_limits.at(static_cast<std::size_t>(limitSlot(channel, limitKind)));
}

void HistoryOverlay::settingsChanged() {
    m_settings = m_alarms.rules().settings();
    QStringList names;
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        names << QString::fromStdString(alarmSubject(m_settings, alarmIndex(channel, Kind::High)));
        const ChannelAlarms& alarms = m_settings.channels.at(static_cast<std::size_t>(channel));
        for (const Kind kind : {Kind::High, Kind::Low}) {
            const std::optional<double>& limit = kind == Kind::High ? alarms.high : alarms.low;
            QCPItemStraightLine* line =
                m_limits.at(static_cast<std::size_t>(limitSlot(channel, kind)));
            if (limit) {
                // A horizontal line through two points of the limit; the plot draws it across.
                line->point1->setCoords(0.0, *limit);
                line->point2->setCoords(1.0, *limit);
            }
        }
    }
    m_window.setChannelNames(names);
}

void HistoryOverlay::add(const AlarmEvent& event) {
    HistoryPlot& plot = m_window.plot();
    const int channel = channelOf(event.alarm);
    const double time = secondsOfMoment(event.time);
    if (event.type == EventType::Raised) {
        auto* rect = new QCPItemRect(&plot);
        rect->setLayer(kShadeLayer);
        rect->setClipToAxisRect(true);
        rect->setSelectable(false);
        QColor shade = channelColour(channel);
        shade.setAlpha(kShadeAlpha);
        rect->setPen(Qt::NoPen);
        rect->setBrush(shade);
        rect->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
        rect->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
        rect->topLeft->setCoords(time, 0.0);
        rect->bottomRight->setCoords(time, 1.0);
        m_shades.push_back({event.alarm, time, true, rect});
    } else if (event.type == EventType::Cleared) {
        for (Shade& shade : m_shades) {
            if (shade.alarm == event.alarm && shade.open) {
                shade.open = false;
                shade.rect->bottomRight->setCoords(std::max(time, shade.start), 1.0);
            }
        }
    }

    auto* tracer = new QCPItemTracer(&plot);
    tracer->setClipToAxisRect(true);
    tracer->setSelectable(false);
    tracer->setSize(kMarkerSize);
    const QColor colour = channelColour(channel);
    tracer->setPen(QPen(colour, 1.5));
    // Raised filled, cleared hollow, acknowledged a square.
    tracer->setStyle(event.type == EventType::Acknowledged ? QCPItemTracer::tsSquare
                                                           : QCPItemTracer::tsCircle);
    tracer->setBrush(event.type == EventType::Raised ? QBrush(colour) : QBrush(Qt::white));
    const Kind kind = kindOf(event.alarm);
    if (event.value && (kind == Kind::High || kind == Kind::Low)) {
        tracer->position->setCoords(time, *event.value);
    } else {
        tracer->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
        tracer->position->setCoords(time, kTopMarkerRatio);
    }
    m_markers.push_back({event, tracer});
    // As many as the alarm feature keeps: the oldest go first.
    if (m_markers.size() > AlarmFeature::kKeptRunEvents) {
        plot.removeItem(m_markers.front().tracer);
        m_markers.erase(m_markers.begin());
    }
    if (m_shades.size() > AlarmFeature::kKeptRunEvents) {
        plot.removeItem(m_shades.front().rect);
        m_shades.erase(m_shades.begin());
    }
}

void HistoryOverlay::arrange() {
    HistoryPlot& plot = m_window.plot();
    const auto channelShown = [&plot](int channel) {
        return channel < 0 || channel >= plot.graphCount() || plot.graph(channel)->visible();
    };
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        for (const Kind kind : {Kind::High, Kind::Low}) {
            QCPItemStraightLine* line =
                m_limits.at(static_cast<std::size_t>(limitSlot(channel, kind)));
            line->setVisible(limitLine(channel, kind) != nullptr && channelShown(channel));
        }
    }
    const bool run = m_window.showingRun();
    const double right = plot.xAxis->range().upper;
    for (Shade& shade : m_shades) {
        shade.rect->setVisible(run && channelShown(channelOf(shade.alarm)));
        if (shade.open)
            shade.rect->bottomRight->setCoords(std::max(right, shade.start), 1.0);
    }
    for (Marker& marker : m_markers)
        marker.tracer->setVisible(run && channelShown(channelOf(marker.event.alarm)));
}

QString HistoryOverlay::cursorNote(double seconds) const {
    if (!m_window.showingRun())
        return {};
    HistoryPlot& plot = m_window.plot();
    const double reach = std::abs(
        plot.xAxis->pixelToCoord(plot.xAxis->coordToPixel(seconds) + kCursorReach) - seconds);
    QStringList lines;
    for (const Marker& marker : m_markers) {
        if (!marker.tracer->visible() ||
            std::abs(secondsOfMoment(marker.event.time) - seconds) > reach)
            continue;
        lines << QString::fromStdString(timeOfDay(marker.event.time) + " " +
                                        eventSummary(m_settings, marker.event, m_decimal));
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace thermavo::alarms
