#include "alarms/alarmprogram.h"

#include <QProcess>
#include <QTimer>
#include <QVariant>

namespace thermavo::alarms {

AlarmProgram::AlarmProgram(QObject* parent) : QObject(parent) {}

AlarmProgram::~AlarmProgram() {
    for (QProcess* process : std::as_const(m_running)) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
    }
}

void AlarmProgram::run(int alarm, const QString& commandLine,
                       const QProcessEnvironment& alarmEnvironment) {
    if (!m_running.contains(alarm)) {
        start(alarm, {commandLine, alarmEnvironment});
        return;
    }
    // An alarm that flaps faster than its program ends must not pile up programs without end.
    constexpr qsizetype kMostWaiting = 20;
    QList<Waiting>& waiting = m_waiting[alarm];
    if (waiting.size() >= kMostWaiting) {
        emit failed(alarm, QStringLiteral("not started: %1 events already wait for the program")
                               .arg(kMostWaiting));
        return;
    }
    waiting.append({commandLine, alarmEnvironment});
}

void AlarmProgram::start(int alarm, const Waiting& run) {
    QStringList arguments = QProcess::splitCommand(run.commandLine);
    if (arguments.isEmpty())
        return;
    const QString program = arguments.takeFirst();
    auto* process = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(run.environment);
    process->setProcessEnvironment(environment);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    auto* limit = new QTimer(process);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, process, [process] {
        process->setProperty("timedOut", true);
        process->kill();
    });
    const auto finish = [this, alarm, process](const QString& reason) {
        m_running.remove(alarm);
        process->deleteLater();
        if (!reason.isEmpty())
            emit failed(alarm, reason);
        const auto waiting = m_waiting.find(alarm);
        if (waiting != m_waiting.end() && !waiting->isEmpty())
            start(alarm, waiting->takeFirst());
    };
    connect(process, &QProcess::errorOccurred, this,
            [process, program, finish](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart)
                    finish(QStringLiteral("\"%1\" could not be started: %2")
                               .arg(program, process->errorString()));
            });
    connect(process, &QProcess::finished, this,
            [process, program, finish](int exitCode, QProcess::ExitStatus status) {
                if (process->property("timedOut").toBool())
                    finish(QStringLiteral("\"%1\" was ended after running too long").arg(program));
                else if (status == QProcess::CrashExit)
                    finish(QStringLiteral("\"%1\" crashed").arg(program));
                else if (exitCode != 0)
                    finish(QStringLiteral("\"%1\" ended with code %2").arg(program).arg(exitCode));
                else
                    finish(QString());
            });
    m_running.insert(alarm, process);
    limit->start(m_timeLimit);
    process->start();
}

} // namespace thermavo::alarms
