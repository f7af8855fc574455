#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <sys/types.h>

// A real notification server for the tests: dunst on a virtual X display, on a private D-Bus
// session the test starts itself, so nothing reaches the desktop of whoever runs the tests.
namespace thermavo::alarmtest {

// Starts the private session bus and puts it in the environment; call before the application
// object, which reads it. Gives the bus's process, 0 when it could not be started.
inline pid_t startPrivateBus() {
    pid_t pid = 0;
    if (FILE* bus = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r")) {
        char address[512] = {};
        char pidText[32] = {};
        if (std::fgets(address, sizeof address, bus) && std::fgets(pidText, sizeof pidText, bus)) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray(address).trimmed());
            pid = static_cast<pid_t>(QByteArray(pidText).trimmed().toInt());
        }
        pclose(bus);
    }
    return pid;
}

inline void stopPrivateBus(pid_t pid) {
    if (pid > 0)
        kill(pid, SIGTERM);
}

class NotificationServer {
public:
    ~NotificationServer() {
        for (QProcess* process : {&m_server, &m_display}) {
            process->terminate();
            process->waitForFinished(3000);
        }
    }

    // False when the bus, dunst or Xvfb is missing.
    bool start() {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
            QStandardPaths::findExecutable(QStringLiteral("dunst")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            return false;
        m_display.start(QStringLiteral("Xvfb"),
                        {QStringLiteral("-displayfd"), QStringLiteral("1"),
                         QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!QTest::qWaitFor([this] { return m_display.canReadLine(); }, 10000))
            return false;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"),
                           QStringLiteral(":") +
                               QString::fromLatin1(m_display.readLine()).trimmed());
        m_server.setProcessEnvironment(environment);
        m_server.start(QStringLiteral("dunst"), {});
        return QTest::qWaitFor(
            [] {
                return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                    QStringLiteral("org.freedesktop.Notifications"));
            },
            10000);
    }

    // What the server received so far: it closes what it shows, then tells its history.
    static QString received() {
        QProcess control;
        control.start(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
        control.waitForFinished(5000);
        control.start(QStringLiteral("dunstctl"), {QStringLiteral("history")});
        control.waitForFinished(5000);
        return QString::fromUtf8(control.readAllStandardOutput());
    }

private:
    QProcess m_display;
    QProcess m_server;
};

} // namespace thermavo::alarmtest
