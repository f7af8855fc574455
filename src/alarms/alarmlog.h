#pragma once

#include "log/logfile.h"

#include <string>

namespace thermavo::alarms {

// The alarm log file: alarms.csv in the folder chosen, appended to across runs. Each event is
// one line written whole and pushed to the disk as the data logs are; a new or empty file gets
// the header line first.
class AlarmLog {
public:
    explicit AlarmLog(DiskSyncSettings sync = {});

    static std::string pathIn(const std::string& folder);
    // Throws IoError; the next append tries again.
    void append(const std::string& folder, const std::string& line);
    void close();

private:
    DiskSyncSettings m_sync;
    LogFile m_file;
    std::string m_path;
};

} // namespace thermavo::alarms
