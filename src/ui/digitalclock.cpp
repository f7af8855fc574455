#include "ui/digitalclock.h"

#include <QPalette>

namespace thermavo {

namespace {

constexpr int kDigitCount = 8;

} // namespace

QString clockText(const QTime& time) {
    return time.toString(QStringLiteral("HH:mm:ss"));
}

DigitalClock::DigitalClock(QWidget* parent) : QLCDNumber(kDigitCount, parent) {
    setSegmentStyle(QLCDNumber::Flat);
    setFrameShape(QFrame::NoFrame);
    // Unlit segments are not drawn, so they show the button face behind them.
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, colours.color(QPalette::ButtonText));
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setAutoFillBackground(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &DigitalClock::poll);
    m_pollTimer.start(kPollIntervalMs);
    poll();
}

void DigitalClock::setTimeSource(TimeSource source) {
    if (source) {
        m_timeSource = std::move(source);
    }
    poll();
}

double DigitalClock::heldTimeOfDay() const {
    if (!m_held.isValid()) {
        return 0.0;
    }
    return static_cast<double>(m_held.msecsSinceStartOfDay()) / kMsPerDay;
}

QSize DigitalClock::sizeHint() const {
    return {kWidth, kHeight};
}

void DigitalClock::poll() {
    const QTime now = m_timeSource();
    if (!now.isValid()) {
        return;
    }
    if (m_held.isValid() && now.hour() == m_held.hour() && now.minute() == m_held.minute() &&
        now.second() == m_held.second()) {
        return;
    }
    m_held = now;
    m_shown = clockText(now);
    display(m_shown);
}

} // namespace thermavo
