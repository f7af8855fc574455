#pragma once

#include "log/datetime.h"
#include "log/logchannel.h"
#include "ui/regional.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace thermavo {

// One record read back from a log: its local date and time and a value per channel, NaN where
// the record has none.
struct LogRecord {
    LocalDateTime when;
    std::array<float, kLogChannelCount> values{};
};

enum class LogKind { Unknown, Sylk, Tab };

// Reads the SYLK and TAB logs Thermavo writes, fed with the file's bytes in pieces of any size,
// as a spreadsheet would read them: the TAB log's dates, times and numbers in the regional
// settings given, the SYLK log's numbers with "." always. A log still being written, or cut short
// by a crash, reads up to its last whole line; the unfinished line after it is ignored. A TAB file
// may hold several logs one after another. Anything else stops the reading with the number of
// the line that is not what a log holds, and what is wrong with it.
class LogReader {
public:
    using Sink = std::function<void(const LogRecord&)>;

    // No line of a Thermavo log comes near this; a longer one means the file is something else.
    static constexpr std::size_t kLongestLine = 4096;

    LogReader(RegionalSettings regional, Sink sink);

    // The next bytes of the file. False once the file turned out not to be a log.
    bool feed(std::string_view bytes);
    // The end of the file. False when the file is not a log.
    bool finish();

    LogKind kind() const { return m_kind; }
    bool failed() const { return !m_error.empty(); }
    // What is wrong, and on which line (from 1), once reading failed.
    const std::string& error() const { return m_error; }
    std::size_t errorLine() const { return m_errorLine; }
    // Whole lines read so far.
    std::size_t lines() const { return m_lines; }

private:
    bool line(std::string_view text);
    bool sylkLine(std::string_view text);
    bool sylkCell(std::string_view fields);
    bool tabLine(std::string_view text);
    void emitPending();
    bool fail(std::string message);

    RegionalSettings m_regional;
    Sink m_sink;
    LogKind m_kind = LogKind::Unknown;
    std::string m_partial;
    std::size_t m_lines = 0;
    std::string m_error;
    std::size_t m_errorLine = 0;

    // The SYLK row being read: its cells come on lines of their own.
    LogRecord m_pending;
    bool m_hasPending = false;
    long long m_lastRow = 0;
    bool m_ended = false;
};

// The date and time of a TAB log's first field in the regional settings given, as the log writes
// it; false when the text is not such a date and time.
bool parseTabDateTime(std::string_view text, const RegionalSettings& regional, LocalDateTime& when);

} // namespace thermavo
