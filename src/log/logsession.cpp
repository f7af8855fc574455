#include "log/logsession.h"

#include "log/logloss.h"
#include "log/sylklog.h"
#include "log/tablog.h"

namespace thermavo {

void LogSession::open(LogFormat format, const std::string& path) {
    m_format = format;
    m_losses = 0;
    if (format == LogFormat::Sylk)
        openSylkLog(m_file, path);
    else
        openTabLog(m_file, path);
}

std::optional<LogLossReport> LogSession::write(const LocalDateTime& when,
                                               const LogChannels& channels,
                                               const RegionalSettings& regional) {
    std::optional<LogLossReport> report;
    try {
        const LogFile::Continuation continuation = m_file.followName();
        if (continuation.loss != LogLoss::None)
            report = LogLossReport{continuation.loss, continuation.path, ++m_losses};
        if (m_format == LogFormat::Sylk)
            writeSylkRecord(m_file, when, channels);
        else
            writeTabRecord(m_file, when, channels, regional);
    } catch (const LogFileLost& lost) {
        report = LogLossReport{lost.loss(), std::string(), m_losses};
    } catch (const std::exception&) {
        // The record is dropped; the next one tries again.
    }
    return report;
}

std::string LogSession::lossText(const LogLossReport& report, const std::string& at) const {
#ifdef _WIN32
    const std::size_t folderEnd = report.goesOnIn.find_last_of("\\/");
#else
    const std::size_t folderEnd = report.goesOnIn.find_last_of('/');
#endif
    const std::string name =
        folderEnd == std::string::npos ? report.goesOnIn : report.goesOnIn.substr(folderEnd + 1);
    return logLossText(report.loss, m_format == LogFormat::Sylk, name, report.losses, at);
}

void LogSession::close() {
    if (m_format == LogFormat::Sylk)
        closeSylkLog(m_file);
    else
        closeTabLog(m_file);
}

} // namespace thermavo
