#pragma once

#include "ui/profilefile.h"

#include <QString>
#include <optional>

namespace thermavo {

// The program's settings file. Opening nests: the file object is made on the first open and
// released on the last close. A read or write while closed opens the file for that one call.
class IniFileStore {
public:
    explicit IniFileStore(QString path);

    const QString& path() const { return m_path; }
    bool isOpen() const { return m_file.has_value(); }

    void open();
    void close();

    QString readString(const QString& section, const QString& key, const QString& fallback);
    // Throws ProfileWriteError.
    void writeString(const QString& section, const QString& key, const QString& value);
    // A text that is no decimal integer gives the fallback.
    int readInteger(const QString& section, const QString& key, int fallback);
    // Throws ProfileWriteError.
    void writeInteger(const QString& section, const QString& key, int value);

private:
    QString m_path;
    int m_openCount = 0;
    std::optional<ProfileFile> m_file;
};

// Keeps an IniFileStore open for the life of a scope.
class IniFileSession {
public:
    explicit IniFileSession(IniFileStore& store) : m_store(store) { m_store.open(); }
    ~IniFileSession() { m_store.close(); }
    IniFileSession(const IniFileSession&) = delete;
    IniFileSession& operator=(const IniFileSession&) = delete;

private:
    IniFileStore& m_store;
};

// The settings file beside an executable: its path with the extension of the file name replaced
// by ".INI", or ".INI" appended when the name has none. Native separators.
QString settingsFilePathFor(const QString& executablePath);
// The settings file of the running program.
QString settingsFilePath();

} // namespace thermavo
