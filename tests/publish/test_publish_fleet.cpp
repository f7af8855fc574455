#include "broker.h"
#include "harness.h"
#include "publish/publishrules.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// Eight copies of the real program, each on line to its own thermavo-sim through its own pseudo
// terminal, with its own settings file, client id and topic prefix, publish to one broker at a
// one-second interval while a subscriber keeps what arrives. They run for 25 s, not the minutes a
// fleet runs: the test must stay within a minute of CI time on two cores, and every further
// second only repeats the same ticks. The windows are on a virtual X display of the test's own,
// switched on line with xdotool as a user does it with the keyboard and mouse.

using namespace thermavo;
using namespace thermavo::brokertest;
using namespace thermavo::harness;

namespace {

constexpr int kLoggers = 8;
constexpr int kRunSeconds = 25;
constexpr int kToggleSeconds = 3;
constexpr int kWaitMs = 20'000;
// The window's size, and a cell of the screen for each, side by side in two rows.
constexpr int kCellWidth = 650;
constexpr int kCellHeight = 700;
// Places in the window's client area: the top bar's empty right part and SampleIntervalField.
constexpr int kTopBarX = 500;
constexpr int kTopBarY = 16;
constexpr int kIntervalFieldX = 40;
constexpr int kIntervalFieldY = 74;

QJsonObject parsed(const std::string& payload) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
}

std::string prefixOf(int logger) {
    return "fleet/" + std::to_string(logger);
}

// The constant the logger's simulator holds on T8, different for each, so that a sample on
// another's topics shows.
double markOf(int logger) {
    return 10.0 + logger;
}

// An alarm log's events as "<event> <time to the second>", e.g.
// "raised 2024-12-08 02:11:05+01:00".
QStringList loggedEvents(const QString& path) {
    QStringList events;
    const QList<QByteArray> lines = readAll(path).split('\n');
    for (qsizetype index = 1; index < lines.size(); ++index) {
        const QList<QByteArray> fields = lines[index].trimmed().split(',');
        if (fields.size() >= 6)
            events << QString::fromUtf8(fields[5] + ' ' + fields[0] + fields[1]);
    }
    return events;
}

QString publishedEvent(const std::string& payload) {
    const QJsonObject event = parsed(payload);
    const QString time = event.value("time").toString();
    // "2024-12-08T02:11:05.250+01:00": the second and the offset.
    return event.value("event").toString() + ' ' + time.left(19).replace('T', ' ') + time.right(6);
}

} // namespace

class PublishFleetTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    QProcess m_display;
    QString m_displayName;

    QProcessEnvironment displayEnvironment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_displayName);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        return environment;
    }

    // xdotool's output, or no value when it failed or took too long.
    std::optional<QString> xdotool(const QStringList& arguments) const {
        QProcess tool;
        tool.setProcessEnvironment(displayEnvironment());
        tool.start(QStringLiteral("xdotool"), arguments);
        if (!tool.waitForFinished(kWaitMs)) {
            tool.kill();
            tool.waitForFinished();
            return std::nullopt;
        }
        if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
            return std::nullopt;
        return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    }

    struct Logger {
        QTemporaryDir folder;
        QProcessEnvironment environment;
        std::unique_ptr<Simulator> board;
        QProcess program;

        QString path(const QString& name) const { return folder.filePath(name); }
        bool command(const QByteArray& line) const {
            const int fifo = ::open(QFile::encodeName(path(QStringLiteral("control.fifo"))),
                                    O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fifo < 0)
                return false;
            const QByteArray text = line + '\n';
            const bool written = ::write(fifo, text.constData(),
                                         static_cast<std::size_t>(text.size())) == text.size();
            ::close(fifo);
            return written;
        }
    };

    // The logger's program started beside its own settings and board, its window placed in its
    // cell, the sample interval set to 1 s and switched on line to the one port it knows.
    void start(Logger& logger, int index, int brokerPort, const QString& program) {
        QVERIFY(logger.folder.isValid());
        QVERIFY(::link(QFile::encodeName(program),
                       QFile::encodeName(logger.path(QStringLiteral("thermavo")))) == 0);
        QFile settings(logger.path(QStringLiteral("thermavo.INI")));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write(QStringLiteral("[Publish]\r\nEnabled=1\r\nHost=127.0.0.1\r\nPort=%1\r\n"
                                      "ClientId=logger-%2\r\nTopicPrefix=%3\r\nHomeAssistant=0\r\n"
                                      "[Alarms]\r\nLatch=0\r\n[AlarmT1]\r\nHigh=50\r\n")
                           .arg(brokerPort)
                           .arg(index)
                           .arg(QString::fromStdString(prefixOf(index)))
                           .toUtf8());
        settings.close();
        QVERIFY(::mkfifo(QFile::encodeName(logger.path(QStringLiteral("control.fifo"))), 0600) ==
                0);

        logger.environment = displayEnvironment();
        logger.environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                                  logger.path(QStringLiteral("config")));
        logger.environment.insert(QStringLiteral("XDG_DATA_HOME"),
                                  logger.path(QStringLiteral("data")));
        // Alarm notifications go nowhere rather than to the desktop of whoever runs the test.
        logger.environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                                  "unix:path=" + logger.path(QStringLiteral("no-bus")));
        logger.board = std::make_unique<Simulator>(
            1,
            QStringList{"--rate", "4", "--seed", QString::number(index), "--control",
                        logger.path(QStringLiteral("control.fifo")), "--sent-log",
                        logger.path(QStringLiteral("sent.log"))},
            logger.environment);
        QVERIFY(logger.board->waitUntilReady());
        QVERIFY(logger.command(QStringLiteral("set T8 %1").arg(markOf(index)).toUtf8()));
        QVERIFY(logger.command("set T1 20"));

        logger.program.setProcessEnvironment(logger.environment);
        logger.program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        logger.program.setStandardOutputFile(QProcess::nullDevice());
        logger.program.start(logger.path(QStringLiteral("thermavo")), {});
        QVERIFY(logger.program.waitForStarted());
        const QString pid = QString::number(logger.program.processId());
        const std::optional<QString> windows = xdotool(
            {"search", "--sync", "--all", "--onlyvisible", "--pid", pid, "--name", "^Thermavo: "});
        QVERIFY2(windows, "the main window did not show");
        const QString window = windows->split('\n').first();
        const int x = (index % 4) * kCellWidth;
        const int y = (index / 4) * kCellHeight;
        QVERIFY(xdotool({"windowmove", "--sync", window, QString::number(x), QString::number(y)}));
        const auto click = [&](int atX, int atY) {
            return xdotool({"mousemove", "--sync", QString::number(x + atX),
                            QString::number(y + atY), "click", "1"});
        };
        QVERIFY(click(kIntervalFieldX, kIntervalFieldY));
        QVERIFY(xdotool({"key", "ctrl+a", "type", "1"}));
        QVERIFY(click(kTopBarX, kTopBarY));
        QVERIFY(xdotool({"key", "alt+o"}));
        QVERIFY2(xdotool({"search", "--sync", "--all", "--onlyvisible", "--pid", pid, "--name",
                          "^Select Port$"}),
                 "the Select Port dialog did not show");
        QVERIFY(xdotool({"key", "Return"}));
        QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo(logger.path(QStringLiteral("sent.log"))).size() > 0,
                                  "the board never answered", kWaitMs);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        QVERIFY2(QFile::exists(simulatorPath()), qPrintable(simulatorPath()));
        // Xvfb picks a free display itself and writes its number once it takes connections.
        m_display.start(QStringLiteral("Xvfb"),
                        {"-displayfd", "1", "-screen", "0", "2600x1400x24", "-nolisten", "tcp"});
        QVERIFY2(m_display.waitForStarted(), "no Xvfb: scripts/setup installs it");
        QTRY_VERIFY_WITH_TIMEOUT(m_display.canReadLine(), kWaitMs);
        m_displayName = ':' + QString::fromLatin1(m_display.readLine()).trimmed();
    }

    void cleanupTestCase() {
        m_display.terminate();
        m_display.waitForFinished();
    }

    // Every tick of every logger arrives on that logger's topics alone, its values in order on
    // the channel topics, every alarm event its alarm log holds arrives too, and each ends with
    // "offline" of its own when terminated.
    void eightLoggersPublishToOneBroker() {
        Broker broker(freePort());
        Subscriber readings(broker.port(), "fleet/#", "fleet");
        const QString program = m_folder.filePath(QStringLiteral("thermavo"));
        QVERIFY(QFile::copy(QDir(QString::fromLocal8Bit(qgetenv("THERMAVO_BUILD_DIR")))
                                .filePath(QStringLiteral("thermavo")),
                            program));
        std::array<Logger, kLoggers> loggers;
        for (int index = 0; index < kLoggers; ++index) {
            start(loggers[static_cast<std::size_t>(index)], index, broker.port(), program);
            if (QTest::currentTestFailed())
                return;
        }

        // T1 of every logger crosses its high limit and back, each crossing an alarm event.
        bool high = false;
        for (int second = 0; second < kRunSeconds; ++second) {
            if (second % kToggleSeconds == 0) {
                high = !high;
                for (const Logger& logger : loggers)
                    QVERIFY(logger.command(high ? "set T1 80" : "set T1 20"));
            }
            QTest::qWait(1000);
        }
        for (Logger& logger : loggers)
            logger.program.terminate();
        for (Logger& logger : loggers) {
            QVERIFY(logger.program.waitForFinished(kWaitMs));
            QCOMPARE(logger.program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(logger.program.exitCode(), 0);
        }

        for (int index = 0; index < kLoggers; ++index) {
            const Logger& logger = loggers[static_cast<std::size_t>(index)];
            const std::string prefix = prefixOf(index);
            const QByteArray tag = QByteArray::fromStdString(prefix);
            QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(statusTopic(prefix)), std::string("offline"),
                                      kWaitMs);
            QVERIFY2(
                broker.log().contains(QStringLiteral("Client logger-%1 disconnected.").arg(index)),
                tag.constData());

            // Every tick, in order, with this logger's own mark.
            const std::vector<std::string> states = readings.payloadsOf(stateTopic(prefix));
            QVERIFY2(states.size() >= kRunSeconds - 2, tag.constData());
            std::array<std::vector<std::string>, kTickChannels> expected;
            QDateTime previous;
            for (const std::string& payload : states) {
                const QJsonObject state = parsed(payload);
                const QDateTime time =
                    QDateTime::fromString(state.value("time").toString(), Qt::ISODateWithMs);
                QVERIFY2(time.isValid(), payload.c_str());
                if (previous.isValid()) {
                    // A lost tick leaves two intervals between its neighbours; a tick late on a
                    // busy machine leaves less.
                    const qint64 apart = previous.msecsTo(time);
                    QVERIFY2(apart > 0 && apart < 1800,
                             qPrintable(QStringLiteral("%1: ticks %2 ms apart")
                                            .arg(tag.constData())
                                            .arg(apart)));
                }
                previous = time;
                QCOMPARE(state.value("T8").toDouble(), markOf(index));
                for (int channel = 0; channel < kTickChannels; ++channel) {
                    const QJsonValue value = state.value(QStringLiteral("T%1").arg(channel + 1));
                    if (!value.isNull())
                        expected[static_cast<std::size_t>(channel)].push_back(
                            formatTemperature(static_cast<float>(value.toDouble())));
                }
            }
            for (int channel = 0; channel < kTickChannels; ++channel)
                QCOMPARE(readings.payloadsOf(channelTopic(prefix, channel)),
                         expected[static_cast<std::size_t>(channel)]);

            // Every event the logger's alarm log holds, in order, none lost.
            const QStringList logged =
                loggedEvents(logger.path(QStringLiteral("data/thermavo/alarms/alarms.csv")));
            QVERIFY2(logged.size() >= kRunSeconds / kToggleSeconds - 2, tag.constData());
            QStringList published;
            for (const std::string& payload : readings.payloadsOf(prefix + "/alarm/event"))
                published << publishedEvent(payload);
            QCOMPARE(published, logged);
            qInfo("%s: %zu ticks, %lld alarm events", tag.constData(), states.size(),
                  static_cast<long long>(published.size()));
        }
        // Nothing outside the loggers' own prefixes.
        for (const Received& message : readings.received()) {
            bool known = false;
            for (int index = 0; index < kLoggers; ++index)
                known = known || message.topic.starts_with(prefixOf(index) + "/");
            QVERIFY2(known, message.topic.c_str());
        }
    }
};

QTEST_MAIN(PublishFleetTest)
#include "test_publish_fleet.moc"
