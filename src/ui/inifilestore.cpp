#include "ui/inifilestore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef _WIN32
#include <QTemporaryFile>
#else
#include <unistd.h>
#endif

namespace thermavo {

namespace {

std::string utf8(const QString& text) {
    return text.toStdString();
}

} // namespace

IniFileStore::IniFileStore(QString path) : m_path(std::move(path)) {}

void IniFileStore::open() {
    if (m_openCount++ == 0) {
        m_file.emplace(utf8(m_path));
    }
}

void IniFileStore::close() {
    if (m_openCount > 0 && --m_openCount == 0) {
        m_file.reset();
    }
}

QString IniFileStore::readString(const QString& section, const QString& key,
                                 const QString& fallback) {
    const IniFileSession session(*this);
    return QString::fromStdString(m_file->readString(utf8(section), utf8(key), utf8(fallback)));
}

void IniFileStore::writeString(const QString& section, const QString& key, const QString& value) {
    const IniFileSession session(*this);
    // The user's settings folder does not exist before the first save; a failure to make it
    // shows as the failure to write the file.
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_file->writeString(utf8(section), utf8(key), utf8(value));
}

int IniFileStore::readInteger(const QString& section, const QString& key, int fallback) {
    const QString text = readString(section, key, QString::number(fallback));
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? value : fallback;
}

void IniFileStore::writeInteger(const QString& section, const QString& key, int value) {
    writeString(section, key, QString::number(value));
}

QString settingsFilePathFor(const QString& executablePath) {
    const QString path = QDir::fromNativeSeparators(executablePath);
    const qsizetype nameStart = path.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot >= nameStart ? path.left(dot) : path;
    return QDir::toNativeSeparators(stem + QStringLiteral(".INI"));
}

QString settingsFilePathFor(const QString& executablePath, bool folderWritable,
                            const QString& userFolder) {
    const QString beside = settingsFilePathFor(executablePath);
    if (folderWritable || QFileInfo::exists(beside)) {
        return beside;
    }
    return QDir::toNativeSeparators(QDir(userFolder).filePath(QFileInfo(beside).fileName()));
}

bool folderWritable(const QString& folder) {
#ifdef _WIN32
    // Access rights on Windows are lists, not bits: trying is the one sure answer.
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral("thermavo-probe-XXXXXX")));
    return probe.open();
#else
    // The system's own answer: it knows root, access lists and read-only mounts.
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0 &&
           QFileInfo(folder).isDir();
#endif
}

QString userSettingsFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("thermavo"));
}

QString settingsFilePath() {
    const QString executable = QCoreApplication::applicationFilePath();
    return settingsFilePathFor(executable, folderWritable(QFileInfo(executable).absolutePath()),
                               userSettingsFolder());
}

} // namespace thermavo
