#include "ui/inifilestore.h"

#include <QCoreApplication>
#include <QDir>

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

QString settingsFilePath() {
    return settingsFilePathFor(QCoreApplication::applicationFilePath());
}

} // namespace thermavo
