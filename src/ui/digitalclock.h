#pragma once

#include <QLCDNumber>
#include <QString>
#include <QTime>
#include <QTimer>
#include <functional>

namespace thermavo {

// The time of day as "hh:mm:ss" in seven-segment digits, 24-hour, lit segments in the button
// text colour on the button face. Twice a second it reads the time and takes it when the
// hour, minute or second differs from the time it holds; the held time keeps its milliseconds
// and stamps the chart points.
class DigitalClock : public QLCDNumber {
    Q_OBJECT

public:
    using TimeSource = std::function<QTime()>;

    static constexpr int kPollIntervalMs = 500;
    static constexpr int kMsPerDay = 24 * 60 * 60 * 1000;
    static constexpr int kWidth = 113;
    static constexpr int kHeight = 25;

    explicit DigitalClock(QWidget* parent = nullptr);

    // Replaces the local time of day (the default) and reads the new source at once.
    void setTimeSource(TimeSource source);

    QTime heldTime() const { return m_held; }
    // The held time as a fraction of a day, 0 <= x < 1.
    double heldTimeOfDay() const;
    // The digits on show.
    QString shownText() const { return m_shown; }

    // One reading of the time source; an invalid time is ignored.
    void poll();

    QSize sizeHint() const override;

private:
    TimeSource m_timeSource = [] { return QTime::currentTime(); };
    QTime m_held;
    QString m_shown;
    QTimer m_pollTimer;
};

// "hh:mm:ss", 24-hour, two digits each.
QString clockText(const QTime& time);

} // namespace thermavo
