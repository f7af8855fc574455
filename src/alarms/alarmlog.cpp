#include "alarms/alarmlog.h"

#include "alarms/alarmtext.h"

#include <filesystem>
#include <system_error>

namespace thermavo::alarms {

namespace {

// The log writer's names are UTF-8 on Windows, whose narrow file names would be the ANSI code
// page's.
std::filesystem::path fileSystemPath(const std::string& name) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
#else
    return std::filesystem::path(name);
#endif
}

} // namespace

AlarmLog::AlarmLog(DiskSyncSettings sync) : m_sync(sync), m_file(sync) {}

std::string AlarmLog::pathIn(const std::string& folder) {
    return folder.empty() || folder.back() == '/' || folder.back() == '\\' ? folder + "alarms.csv"
                                                                           : folder + "/alarms.csv";
}

void AlarmLog::append(const std::string& folder, const std::string& line) {
    const std::string path = pathIn(folder);
    if (m_file.isOpen() && path != m_path)
        m_file.close();
    if (!m_file.isOpen()) {
        std::error_code error;
        std::filesystem::create_directories(fileSystemPath(folder), error);
        const bool empty = !std::filesystem::exists(fileSystemPath(path), error) ||
                           std::filesystem::file_size(fileSystemPath(path), error) == 0;
        m_file.open(path, LogFile::Mode::Append, empty ? kAlarmLogHeader : std::string_view());
        m_path = path;
    }
    m_file.followName();
    // A file another program left without a final line end gets one, so this line stays whole.
    m_file.write(m_file.atLineStart() ? line : "\r\n" + line);
}

void AlarmLog::close() {
    m_file.close();
}

} // namespace thermavo::alarms
