#pragma once

#include "link/portprobe.h"

#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

class QTimer;

namespace thermavo {

// A board lost while on line, tried again on the same port until it is back or the user gives
// up, and the status text that tells about it. The window drives it and shows the text.
class BoardReconnect : public QObject {
    Q_OBJECT

public:
    // `dateText` writes the date of a loss that the board came back from on another day.
    BoardReconnect(int intervalMs, std::function<QString(const QDate&)> dateText,
                   std::function<bool(int)> deviceExists = portDeviceExists,
                   QObject* parent = nullptr);

    // The board on port `comNumber`, on line as board row `boardRow`, was lost at `at`: the tries
    // begin.
    void lost(int comNumber, int boardRow, const QDateTime& at);
    // A try went on line at `at`: the tries end, and the text tells when the board was lost and
    // back.
    void back(const QDateTime& at);
    // The user gave up (switched off, closed the window): the tries end and the text goes.
    void stop();
    // The user switched on line: losses are counted afresh from now on.
    void forget();

    bool active() const { return m_active; }
    int comNumber() const { return m_comNumber; }
    int boardRow() const { return m_boardRow; }
    // Empty when there is nothing to tell.
    const QString& statusText() const { return m_statusText; }

signals:
    // The lost port's device is there again: time to try going on line.
    void retryDue();

private:
    void lookForTheDevice();

    std::function<QString(const QDate&)> m_dateText;
    std::function<bool(int)> m_deviceExists;
    QTimer* m_timer;
    bool m_active = false;
    int m_comNumber = 0;
    int m_boardRow = -1;
    int m_losses = 0;
    QDateTime m_lostAt;
    QString m_statusText;
};

} // namespace thermavo
