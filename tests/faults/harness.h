#pragma once

#include "app/frmMain.h"
#include "ui/regional.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

// What the fault and soak programs share: the simulated board as a child process, the process's
// own resource counts, and readers of the two log formats.
namespace thermavo::harness {

constexpr int kSimulatorStartMs = 5000;

// The window's services in the end-to-end tests: the test's own clock, plain regional settings, a
// link clock that moves 10 ms a reading, each box's text handed to `message` instead of waiting
// for a click, the port the test chose, and the settings file and data folder it names.
inline MainFormServices endToEndServices(std::function<QDateTime()> now,
                                         std::function<std::optional<int>()> chosenPort,
                                         std::function<void(const QString&)> message,
                                         const QString& settingsFile, const QString& dataFolder) {
    MainFormServices services;
    services.now = std::move(now);
    services.regionalSettings = [] { return RegionalSettings{}; };
    services.tickCount = [tick = std::uint32_t{0}]() mutable { return tick += 10; };
    services.showMessage = [message = std::move(message)](QMessageBox::Icon, const QString&,
                                                          const QString& text) { message(text); };
    services.choosePort = std::move(chosenPort);
    services.settingsFile = settingsFile;
    services.dataFolder = dataFolder;
    return services;
}

inline QString simulatorPath() {
    const QByteArray buildDir = qgetenv("THERMAVO_BUILD_DIR");
    const QString dir = buildDir.isEmpty() ? QCoreApplication::applicationDirPath() + "/.."
                                           : QString::fromLocal8Bit(buildDir);
    return QDir(dir).absoluteFilePath(QStringLiteral("thermavo-sim"));
}

// thermavo-sim registered as COM<port> under the XDG_CONFIG_HOME of this process, or of the
// environment given.
class Simulator {
public:
    Simulator(int port, const QStringList& arguments,
              const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(simulatorPath(),
                        QStringList{QStringLiteral("--port"), QString::number(port)} + arguments);
    }
    ~Simulator() { stop(); }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // True once the board announced its port, that is once its link exists.
    bool waitUntilReady() {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(kSimulatorStartMs)) {
        }
        return m_process.readLine().contains("COM");
    }
    void kill() {
        m_process.kill();
        m_process.waitForFinished(kSimulatorStartMs);
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(kSimulatorStartMs))
            kill();
    }

private:
    QProcess m_process;
};

inline int entriesIn(const char* folder) {
    return static_cast<int>(QDir(QString::fromLatin1(folder))
                                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                                .size());
}

inline int threadCount() {
    return entriesIn("/proc/self/task");
}

inline int descriptorCount() {
    return entriesIn("/proc/self/fd");
}

// A field of /proc/self/status in kB, such as VmRSS or VmHWM.
inline qint64 memoryKb(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The bytes the board received, from its --log file.
inline QList<int> receivedBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<int> bytes;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            bytes.append(line.split(' ').value(2).toInt(nullptr, 16));
    }
    return bytes;
}

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The rows of a SYLK log as far as it goes, as a crash leaves it: the header and rows 1 to n,
// each with a time stamp cell and numeric channel cells, every line whole. No value when any of
// that is broken.
inline std::optional<int> sylkRowsSoFar(const QByteArray& bytes) {
    if (!bytes.endsWith("\r\n"))
        return std::nullopt;
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();
    static const QRegularExpression rowStart(QStringLiteral(R"(^C;Y(\d+);X1;K\d+\.?\d*\r$)"));
    static const QRegularExpression cell(QStringLiteral(R"(^C;X([2-9]);K-?\d+\.?\d*\r$)"));
    constexpr int kHeaderLines = 7;
    if (lines.size() < kHeaderLines || !lines.first().startsWith("ID;P"))
        return std::nullopt;
    int rows = 0;
    for (qsizetype index = kHeaderLines; index < lines.size(); ++index) {
        const QString line = QString::fromLatin1(lines[index]);
        if (const auto match = rowStart.match(line); match.hasMatch()) {
            if (match.captured(1).toInt() != rows + 1)
                return std::nullopt;
            ++rows;
        } else if (rows == 0 || !cell.match(line).hasMatch()) {
            return std::nullopt;
        }
    }
    return rows;
}

// The rows of a SYLK log when it is whole: as far as it goes, and then the end line.
inline std::optional<int> sylkRows(const QByteArray& bytes) {
    if (!bytes.endsWith("\r\nE\r\n"))
        return std::nullopt;
    return sylkRowsSoFar(bytes.chopped(3));
}

// The time stamps of a SYLK log's rows in days since 30 December 1899, in file order.
inline QList<double> sylkRowTimes(const QByteArray& bytes) {
    static const QRegularExpression rowStart(QStringLiteral(R"(^C;Y\d+;X1;K(\d+\.?\d*)\r$)"));
    QList<double> times;
    for (const QByteArray& line : bytes.split('\n')) {
        if (const auto match = rowStart.match(QString::fromLatin1(line)); match.hasMatch())
            times.append(match.captured(1).toDouble());
    }
    return times;
}

// The records of a TAB log: lines of a time stamp in the regional pattern and eight
// TAB-separated fields, each empty or a number. No value when a line is malformed.
inline std::optional<int> tabRecords(const QByteArray& bytes) {
    if (!bytes.isEmpty() && !bytes.endsWith("\r\n"))
        return std::nullopt;
    static const QRegularExpression record(
        QStringLiteral(R"(^[^\t\r\n]*\d[^\t\r\n]*(\t(-?\d+[.,]\d\d)?){8}\r$)"));
    int records = 0;
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();
    for (const QByteArray& line : lines) {
        if (!record.match(QString::fromLatin1(line)).hasMatch())
            return std::nullopt;
        ++records;
    }
    return records;
}

} // namespace thermavo::harness
