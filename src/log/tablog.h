#pragma once

#include "log/codepage.h"
#include "log/datetime.h"
#include "log/logchannel.h"
#include "log/logfile.h"
#include "ui/regional.h"

#include <string>
#include <string_view>

namespace thermavo {

// The TAB-delimited log: one line per record, the date and time and then T1 to T8, always
// eight TABs. Successive logs collect in one file.

// What ends a line a power cut left unfinished when the next log is appended to the file, so
// that reading it back leaves that line out instead of taking the figures left as a record.
inline constexpr std::string_view kCutLineMark = " [cut short]";

// Appends to an existing file, or creates it. Nothing is written. Throws IoError.
void openTabLog(LogFile& file, const std::string& path);
// Writes one record, line end included, in one piece; in a file that does not end with a line
// end, the line there is ended first with kCutLineMark. Throws IoError; then none of the record
// is in the file. The texts, built in UTF-8 from the regional settings, reach the file through
// `encode`.
void writeTabRecord(LogFile& file, const LocalDateTime& when, const LogChannels& channels,
                    const RegionalSettings& regional,
                    const LogTextEncoder& encode = systemCodePageText);
// Closes the file. Throws IoError; the file is released regardless.
void closeTabLog(LogFile& file);

// The date in the short date pattern, then, unless hour, minute and second are all zero, a
// blank and the time in the regional hour format.
std::string tabDateTimeText(const LocalDateTime& when, const RegionalSettings& regional);
// The date through a pattern of d, dd, M, MM, yy and yyyy; text in single quotes ('' for a
// quote) and every other character are copied as they stand.
std::string shortDateText(const LocalDateTime& when, const std::string& pattern);

} // namespace thermavo
