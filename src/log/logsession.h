#pragma once

#include "log/datetime.h"
#include "log/logchannel.h"
#include "log/logfile.h"
#include "ui/regional.h"

#include <optional>
#include <string>

namespace thermavo {

enum class LogFormat { Sylk, Tab };

// What became of the log file while a record was written, and where the log goes on.
struct LogLossReport {
    LogLoss loss = LogLoss::None;
    // The path of the file the log goes on in; empty: nowhere yet, the next record tries again.
    std::string goesOnIn;
    // The losses the log went on from since it was opened.
    int losses = 0;
};

// One log, from switching logging on to switching it off, in one of the two formats.
class LogSession {
public:
    explicit LogSession(const DiskSyncSettings& sync) : m_file(sync) {}

    // Throws IoError.
    void open(LogFormat format, const std::string& path);
    // Writes one record, never into a file that lost its name: the record goes where the log goes
    // on. A record that cannot be written is dropped; logging goes on with the next one. Returns
    // what became of the file when it was lost on the way.
    std::optional<LogLossReport> write(const LocalDateTime& when, const LogChannels& channels,
                                       const RegionalSettings& regional);
    // Throws IoError; the file is released regardless.
    void close();
    // The status bar's text about the loss, which happened at the time of day `at`.
    std::string lossText(const LogLossReport& report, const std::string& at) const;

    LogFormat format() const { return m_format; }

private:
    LogFile m_file;
    LogFormat m_format = LogFormat::Sylk;
    int m_losses = 0;
};

} // namespace thermavo
