#pragma once

#include "log/datetime.h"
#include "log/logchannel.h"
#include "log/logfile.h"

#include <string>

namespace thermavo {

// The spreadsheet (SYLK) log: column 1 the time stamps, columns 2 to 9 the channels T1 to T8,
// one row per record. Every number uses "." whatever the regional settings.

// Creates (or empties) the file and writes the seven header lines, which every file the log goes
// on in after a loss begins with too. Throws IoError.
void openSylkLog(LogFile& file, const std::string& path);
// Writes the cells of the next row of the file: the time stamp, then each channel with a sample,
// all in one piece. Rows count from 1 in each file; a failed record takes its row all the same.
// Throws IoError; then none of the record is in the file.
void writeSylkRecord(LogFile& file, const LocalDateTime& when, const LogChannels& channels);
// Writes the end record and closes the file. Throws IoError; the file is released regardless
// and ends with a complete line.
void closeSylkLog(LogFile& file);

} // namespace thermavo
