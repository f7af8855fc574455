#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// Runs the real thermavo-sim on a pseudo-terminal and talks to it as Thermavo would.

namespace {

constexpr int kStartupMs = 5000;
constexpr int kQuietMs = 200;
constexpr int kRepliesWithinMs = 2000;

QString simulatorPath() {
    const QByteArray buildDir = qgetenv("THERMAVO_BUILD_DIR");
    const QString dir = buildDir.isEmpty() ? QCoreApplication::applicationDirPath() + "/.."
                                           : QString::fromLocal8Bit(buildDir);
    return QDir(dir).absoluteFilePath("thermavo-sim");
}

class Simulator {
public:
    Simulator(const QTemporaryDir& home, const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", home.path());
        m_process.setProcessEnvironment(environment);
        m_process.start(simulatorPath(), arguments);
    }
    ~Simulator() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    // The start-up line, or empty when the program ended without one.
    QString announcement() {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(kStartupMs)) {
        }
        return QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }

    QProcess& process() { return m_process; }

private:
    QProcess m_process;
};

class Port {
public:
    explicit Port(const QString& path) {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings{};
        if (m_fd >= 0 && tcgetattr(m_fd, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~Port() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    bool send(char byte) { return ::write(m_fd, &byte, 1) == 1; }

    // Bytes that arrive within the time; stops early once `enough` says so.
    QByteArray receive(int ms, const std::function<bool(const QByteArray&)>& enough = {}) {
        QElapsedTimer clock;
        clock.start();
        QByteArray bytes;
        while (clock.elapsed() < ms && !(enough && enough(bytes))) {
            pollfd port{m_fd, POLLIN, 0};
            if (poll(&port, 1, static_cast<int>(ms - clock.elapsed())) <= 0)
                continue;
            char chunk[512];
            const ssize_t count = ::read(m_fd, chunk, sizeof chunk);
            if (count > 0)
                bytes.append(chunk, count);
        }
        return bytes;
    }

    // Waits until nothing has arrived for `quietMs`; false if bytes keep coming.
    bool settle(int quietMs, int limitMs) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < limitMs) {
            if (receive(quietMs).isEmpty())
                return true;
        }
        return false;
    }

private:
    int m_fd = -1;
};

// The texts between LF and the next CR; bytes outside a reply are dropped.
QList<QByteArray> frames(const QByteArray& bytes) {
    QList<QByteArray> replies;
    qsizetype start = -1;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (start < 0 && bytes[i] == '\n')
            start = i + 1;
        else if (start >= 0 && bytes[i] == '\r') {
            replies.append(bytes.mid(start, i - start));
            start = -1;
        }
    }
    return replies;
}

QList<int> loggedBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<int> bytes;
    const QRegularExpression line(
        R"(^\d+ \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 0x([0-9a-f]{2})$)");
    for (const QByteArray& text : file.readAll().split('\n')) {
        if (text.isEmpty())
            continue;
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(text));
        bytes.append(match.hasMatch() ? match.captured(1).toInt(nullptr, 16) : -1);
    }
    return bytes;
}

} // namespace

class BoardSimEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void repliesBetweenStartAndStop_data();
    void repliesBetweenStartAndStop();
    void refusesAPortInUse();
};

void BoardSimEndToEndTest::initTestCase() {
    QVERIFY2(QFile::exists(simulatorPath()), qPrintable(simulatorPath()));
}

void BoardSimEndToEndTest::repliesBetweenStartAndStop_data() {
    QTest::addColumn<QStringList>("extraArguments");
    QTest::addColumn<QString>("replyPattern");
    const QString shortPattern = R"(^([0-9A-F]{4} [0-9A-F]{4} ){7}[0-9A-F]{4} [0-9A-F]{4}$)";
    QTest::newRow("8 channels") << QStringList{} << shortPattern;
    QTest::newRow("8 channels, long")
        << QStringList{"--long"} << R"(^([0-9A-F]{6} [0-9A-F]{6} ){8}$)";
    QTest::newRow("8 channels, garbage") << QStringList{"--fault", "garbage"} << shortPattern;
    QTest::newRow("4 channels") << QStringList{"--board", "4"}
                                << R"(^\d\d\.\d\d \d\d\.\d\d \d\d\.\d\d \d\d\.\d\d$)";
}

void BoardSimEndToEndTest::repliesBetweenStartAndStop() {
    QFETCH(QStringList, extraArguments);
    QFETCH(QString, replyPattern);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString received = home.filePath("received.log");
    Simulator simulator(
        home, QStringList{"--port", "210", "--rate", "20", "--seed", "7", "--log", received} +
                  extraArguments);
    const QString line = simulator.announcement();
    QVERIFY2(line.contains("COM210") && line.contains("/dev/pts/"), qPrintable(line));
    const QString link = home.filePath("thermavo/ports/COM210");
    QVERIFY(QFileInfo(link).isSymLink());

    const QRegularExpression pattern(replyPattern);
    {
        Port port(link);
        QVERIFY(port.isOpen());
        QVERIFY2(port.receive(kQuietMs).isEmpty(), "the board spoke before the start byte");

        QVERIFY(port.send(0x6D));
        const QList<QByteArray> replies = frames(port.receive(
            kRepliesWithinMs, [](const QByteArray& b) { return frames(b).size() >= 3; }));
        QVERIFY(replies.size() >= 3);
        for (const QByteArray& reply : replies)
            QVERIFY2(pattern.match(QString::fromLatin1(reply)).hasMatch(), reply.constData());

        QVERIFY(port.send(0x20));
        QVERIFY2(port.settle(kQuietMs / 2, kRepliesWithinMs), "replies continue after the stop");
        QVERIFY(port.receive(kQuietMs).isEmpty());
    }
    {
        // Closing the port left the board waiting for the next opener.
        Port port(link);
        QVERIFY(port.isOpen());
        QVERIFY(port.send(0x6D));
        QVERIFY(!frames(port.receive(kRepliesWithinMs, [](const QByteArray& b) {
                     return !frames(b).isEmpty();
                 })).isEmpty());
    }
    // Closed without the stop byte the board goes on, but what it sends meanwhile is lost, as
    // on a real line: the next opener must not find a pile of old replies.
    QTest::qWait(3 * kQuietMs / 2);
    {
        Port port(link);
        QVERIFY(port.isOpen());
        QVERIFY(frames(port.receive(kQuietMs / 5)).size() <= 2);
    }

    simulator.process().terminate();
    QVERIFY(simulator.process().waitForFinished(kStartupMs));
    QCOMPARE(simulator.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.process().exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(loggedBytes(received), (QList<int>{0x6D, 0x20, 0x6D}));
}

void BoardSimEndToEndTest::refusesAPortInUse() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    Simulator first(home, {"--port", "211"});
    QVERIFY(first.announcement().contains("COM211"));
    const QString link = home.filePath("thermavo/ports/COM211");
    const QString device = QFileInfo(link).symLinkTarget();

    Simulator second(home, {"--port", "211"});
    QVERIFY(second.process().waitForFinished(kStartupMs));
    QVERIFY(second.process().exitCode() != 0);
    QVERIFY(second.process().readAllStandardError().contains("in use"));
    QCOMPARE(QFileInfo(link).symLinkTarget(), device);
}

QTEST_GUILESS_MAIN(BoardSimEndToEndTest)
#include "test_boardsim_endtoend.moc"
