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
    // Makes the file's folder first when it is missing. Throws ProfileWriteError.
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
// Where the settings file of that executable lives: beside it when its folder is writable or
// already holds the file (so that a read-only file there is reported, not bypassed); otherwise
// the file of the same name in the user's folder.
QString settingsFilePathFor(const QString& executablePath, bool folderWritable,
                            const QString& userFolder);
// Whether this process may add files to the folder. Root may, except on a read-only mount.
bool folderWritable(const QString& folder);
// The user's own settings folder: $XDG_CONFIG_HOME/thermavo (~/.config/thermavo) on Linux, the
// local application data folder's "thermavo" on Windows.
QString userSettingsFolder();
// The settings file of the running program.
QString settingsFilePath();

} // namespace thermavo
