#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>

class QProcess;

namespace thermavo::alarms {

// Starts the user's program for alarm events, without a shell: the command line is split into
// the program and its arguments, and the alarm goes in its environment. One program at a time
// per alarm: the events that come while it runs wait their turn, in order. One that runs too
// long is ended.
class AlarmProgram : public QObject {
    Q_OBJECT

public:
    explicit AlarmProgram(QObject* parent = nullptr);
    ~AlarmProgram() override;

    void setTimeLimit(int milliseconds) { m_timeLimit = milliseconds; }
    // Starts the program now, or after the one still running for this alarm. A program that
    // cannot start, fails or runs too long is told by failed().
    void run(int alarm, const QString& commandLine, const QProcessEnvironment& alarmEnvironment);
    bool running(int alarm) const { return m_running.contains(alarm); }

signals:
    // The program could not start, was ended or ended with an error.
    void failed(int alarm, const QString& reason);

private:
    struct Waiting {
        QString commandLine;
        QProcessEnvironment environment;
    };
    void start(int alarm, const Waiting& run);

    QHash<int, QProcess*> m_running;
    QHash<int, QList<Waiting>> m_waiting;
    int m_timeLimit = 30000;
};

} // namespace thermavo::alarms
