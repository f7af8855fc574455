#pragma once

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTest>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

// The board's side of a pseudo-terminal, registered as COM<n> in a port folder, so the program
// talks to it through its real serial port code.
class PseudoTerminalBoard {
public:
    PseudoTerminalBoard(const QString& portFolder, int number) {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        const char* slaveName = ptsname(m_master);
        if (slaveName == nullptr)
            return;
        m_device = QString::fromLocal8Bit(slaveName);
        // Raw mode on the slave side so CR and LF pass untouched.
        const int slave = ::open(slaveName, O_RDWR | O_NOCTTY);
        termios settings{};
        tcgetattr(slave, &settings);
        cfmakeraw(&settings);
        tcsetattr(slave, TCSANOW, &settings);
        ::close(slave);
        QDir().mkpath(portFolder);
        m_link = portFolder + QStringLiteral("/COM%1").arg(number);
        QFile::remove(m_link);
        QFile::link(m_device, m_link);
    }

    ~PseudoTerminalBoard() {
        QFile::remove(m_link);
        if (m_master >= 0)
            ::close(m_master);
    }

    PseudoTerminalBoard(const PseudoTerminalBoard&) = delete;
    PseudoTerminalBoard& operator=(const PseudoTerminalBoard&) = delete;

    bool isValid() const { return m_master >= 0 && !m_device.isEmpty(); }

    void send(const QByteArray& bytes) const {
        qsizetype written = 0;
        while (written < bytes.size()) {
            const ssize_t result =
                ::write(m_master, bytes.constData() + written, bytes.size() - written);
            if (result > 0)
                written += result;
            else
                QTest::qWait(1);
        }
    }

    // Everything the program sent within the time given, while the event loop runs.
    QByteArray receive(int waitMs) {
        QByteArray bytes;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < waitMs) {
            QTest::qWait(5);
            char buffer[256];
            ssize_t count = 0;
            while ((count = ::read(m_master, buffer, sizeof buffer)) > 0)
                bytes.append(buffer, count);
        }
        return bytes;
    }

private:
    int m_master = -1;
    QString m_device;
    QString m_link;
};
