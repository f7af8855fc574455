#pragma once

#include "log/datetime.h"
#include "log/logchannel.h"
#include "log/logfile.h"

#include <string>

namespace thermavo {

// The spreadsheet (SYLK) log: column 1 the time stamps, columns 2 to 9 the channels T1 to T8,
// one row per record. Every number uses "." whatever the regional settings.

// Creates (or empties) the file and writes the seven header lines. Throws IoError.
void openSylkLog(LogFile& file, const std::string& path);
// Writes the cells of row recordNumber: the time stamp, then each channel with a sample.
// Lines are only buffered, never pushed. Throws IoError; the lines not yet written are lost,
// and the file is cut back to its last complete line.
void writeSylkRecord(LogFile& file, int recordNumber, const LocalDateTime& when,
                     const LogChannels& channels);
// Writes the end record and closes the file. Throws IoError; the file is released regardless
// and ends with a complete line.
void closeSylkLog(LogFile& file);

} // namespace thermavo
