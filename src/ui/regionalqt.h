#pragma once

#include "ui/regional.h"

class QLocale;

namespace thermavo {

// Reads the pieces of a Qt locale that the program's texts use. The time is described by its
// parts rather than Qt's time format, which may carry a time zone that no record ever shows.
// The texts suit numbers written with the digits 0 to 9 and fields a spreadsheet reads: no
// direction marks, a decimal separator that goes with those digits, and a time separator that
// is no word.
RegionalSettings regionalSettingsFrom(const QLocale& locale);

// The settings of the user's current locale, read afresh on every call.
RegionalSettings systemRegionalSettings();

} // namespace thermavo
