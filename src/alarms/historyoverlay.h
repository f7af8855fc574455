#pragma once

#include "alarms/alarmrules.h"

#include <QObject>
#include <QString>
#include <array>
#include <vector>

class QCPItemRect;
class QCPItemStraightLine;
class QCPItemTracer;

namespace thermavo {
class HistoryWindow;
}

namespace thermavo::alarms {

class AlarmFeature;

// The alarms drawn over the history window: each channel's limits as dashed lines in its colour,
// the time each alarm of this run was raised shaded, its events as markers the cursor reads out,
// and the channels' names. A log read back gets the limits only: its alarms are not known.
class HistoryOverlay : public QObject {
    Q_OBJECT

public:
    // Lives as long as the window, which it is a child of.
    HistoryOverlay(HistoryWindow& window, const AlarmFeature& alarms);

    // The events within a few pixels of the time, one line each: "02:11:05 T3 above 5.0 °C:
    // raised at 6.5 °C". Empty while a log is shown.
    QString cursorNote(double seconds) const;

    // What is drawn, for tests: the limit line of an alarm (null when not set), the shaded spans
    // and the markers.
    QCPItemStraightLine* limitLine(int channel, Kind kind) const;
    struct Shade {
        int alarm = 0;
        double start = 0.0;
        // Still raised: it reaches the right edge of the view.
        bool open = true;
        QCPItemRect* rect = nullptr;
    };
    const std::vector<Shade>& shades() const { return m_shades; }
    struct Marker {
        AlarmEvent event;
        QCPItemTracer* tracer = nullptr;
    };
    const std::vector<Marker>& markers() const { return m_markers; }

private:
    void settingsChanged();
    void add(const AlarmEvent& event);
    // Before each replot: what is shown follows the channels shown and the run or log in view.
    void arrange();

    HistoryWindow& m_window;
    const AlarmFeature& m_alarms;
    // Kept here, so the cursor reads the events out whatever happens to the alarm feature.
    AlarmSettings m_settings;
    char m_decimal = '.';
    std::array<QCPItemStraightLine*, kAlarmChannels * 2> m_limits{};
    std::vector<Shade> m_shades;
    std::vector<Marker> m_markers;
};

} // namespace thermavo::alarms
