#pragma once

#include "log/logfile.h"

#include <string>

namespace thermavo {

// The status bar's text about a log file lost while logging: what became of the file, at what
// time of day (`at`), and where the log goes on: in the file named `goesOnIn`, or, when that is
// empty, nowhere yet (the next record tries again). `losses` counts the losses the log went on
// from; past one, the text says how many.
std::string logLossText(LogLoss loss, bool sylk, const std::string& goesOnIn, int losses,
                        const std::string& at);

} // namespace thermavo
