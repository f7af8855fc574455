#pragma once

namespace thermavo {

// A local date and time as the clock hands it over; the log formats take it as a parameter so
// that tests can pick any moment.
struct LocalDateTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Spreadsheet day number: whole days since 30 December 1899 plus the milliseconds since
// midnight divided by 86,400,000.
double daysSince1899(const LocalDateTime& when);

// The local date and time of a spreadsheet day number, to the nearest millisecond. Day numbers
// below 0 or from 2958466 on (1 January 10000) have no such date and give nothing.
bool fromDaysSince1899(double days, LocalDateTime& when);

// Whether year, month and day name a day of the proleptic Gregorian calendar.
bool isCalendarDate(int year, int month, int day);

} // namespace thermavo
