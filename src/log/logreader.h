#pragma once

#include "log/codepage.h"
#include "log/datetime.h"
#include "log/logchannel.h"
#include "ui/regional.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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
// by a crash, reads up to its last whole line; the unfinished line after it is left out. A TAB
// file may hold several logs one after another; a line the writer found cut short when it
// appended the next log carries its mark and is left out, and so is a line holding the zero
// bytes a power cut leaves, each with a note. Anything else stops the reading with the number of
// the line that is not what a log holds, and what is wrong with it.
class LogReader {
public:
    using Sink = std::function<void(const LogRecord&)>;

    // No line of a Thermavo log comes near this; a longer one means the file is something else.
    static constexpr std::size_t kLongestLine = 4096;

    // Notes kept at most; the rest are only counted.
    static constexpr std::size_t kMostNotes = 20;

    // Two-digit years are taken in the century that puts them nearest to nearYear. A TAB log's
    // text is in the code page its writer encoded it in (systemCodePageText); `decode` turns it
    // back into the UTF-8 of the regional settings (none: it is UTF-8 already).
    LogReader(RegionalSettings regional, Sink sink, int nearYear = kDefaultNearYear,
              LogTextDecoder decode = {});

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
    // What was left out and why ("line 4 was cut short and is left out"), the first kMostNotes.
    const std::vector<std::string>& notes() const { return m_notes; }
    std::size_t noteCount() const { return m_noteCount; }

    static constexpr int kDefaultNearYear = 2000;

private:
    bool line(std::string_view text, bool zeroed);
    bool leftOut(std::string_view text, bool zeroed);
    bool sylkLine(std::string_view text);
    bool sylkCell(std::string_view fields);
    bool tabLine(std::string_view text);
    // The record of a TAB line, or what is wrong with the line.
    std::string tabRecord(std::string_view text, LogRecord& record) const;
    void emitPending();
    // The TAB text in UTF-8, kept in storage where it had to be decoded.
    std::string_view decoded(std::string_view text, std::string& storage) const;
    void note(std::string text);
    bool fail(std::string message);

    RegionalSettings m_regional;
    Sink m_sink;
    int m_nearYear;
    LogTextDecoder m_decode;
    LogKind m_kind = LogKind::Unknown;
    std::string m_partial;
    // The line being read held zero bytes, which are not kept.
    bool m_zeroed = false;
    std::vector<std::string> m_notes;
    std::size_t m_noteCount = 0;
    std::size_t m_lines = 0;
    std::string m_error;
    std::size_t m_errorLine = 0;

    // The SYLK row being read: its cells come on lines of their own.
    LogRecord m_pending;
    bool m_hasPending = false;
    long long m_lastRow = 0;
    bool m_ended = false;
    // The program a SYLK file's ID record names; another program's file is named as such when
    // it cannot be read.
    std::string m_sylkProgram;
};

// The date and time of a TAB log's first field in the regional settings given, as the log writes
// it; false when the text is not such a date and time. A two-digit year is taken in the century
// that puts it nearest to nearYear.
bool parseTabDateTime(std::string_view text, const RegionalSettings& regional, LocalDateTime& when,
                      int nearYear = LogReader::kDefaultNearYear);
// How the regional settings write a TAB log's date and time, for messages: "dd/MM/yyyy hh:mm:ss".
std::string tabDateTimePattern(const RegionalSettings& regional);

} // namespace thermavo
