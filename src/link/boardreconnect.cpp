#include "link/boardreconnect.h"

#include <QTimer>
#include <utility>

namespace thermavo {

namespace {

// As the window's clock shows the time of day.
const QString kTimeFormat = QStringLiteral("HH:mm:ss");

} // namespace

BoardReconnect::BoardReconnect(int intervalMs, std::function<QString(const QDate&)> dateText,
                               std::function<bool(int)> deviceExists, QObject* parent)
    : QObject(parent), m_dateText(std::move(dateText)), m_deviceExists(std::move(deviceExists)),
      m_timer(new QTimer(this)) {
    m_timer->setInterval(intervalMs);
    connect(m_timer, &QTimer::timeout, this, &BoardReconnect::lookForTheDevice);
}

void BoardReconnect::lost(int comNumber, int boardRow, const QDateTime& at) {
    m_active = true;
    m_comNumber = comNumber;
    m_boardRow = boardRow;
    ++m_losses;
    m_lostAt = at;
    m_statusText = QStringLiteral("Board lost at %1; reconnecting to COM%2")
                       .arg(at.time().toString(kTimeFormat))
                       .arg(comNumber);
    m_timer->start();
}

void BoardReconnect::back(const QDateTime& at) {
    m_active = false;
    m_timer->stop();
    QString lostText = m_lostAt.time().toString(kTimeFormat);
    if (m_lostAt.date() != at.date())
        lostText.prepend(m_dateText(m_lostAt.date()) + QLatin1Char(' '));
    const QString backText = at.time().toString(kTimeFormat);
    m_statusText = m_losses == 1
                       ? QStringLiteral("Board lost at %1, back at %2").arg(lostText, backText)
                       : QStringLiteral("Board lost %1 times, last at %2, back at %3")
                             .arg(m_losses)
                             .arg(lostText, backText);
}

void BoardReconnect::stop() {
    m_active = false;
    m_timer->stop();
    m_statusText.clear();
}

void BoardReconnect::forget() {
    stop();
    m_losses = 0;
}

void BoardReconnect::lookForTheDevice() {
    // A port whose device is not there is not opened, so the tries cost nothing while it is gone.
    if (m_active && m_deviceExists(m_comNumber))
        emit retryDue();
}

} // namespace thermavo
