#include "log/datetime.h"

#include <cmath>

namespace thermavo {

namespace {

constexpr double kMillisecondsPerDay = 86'400'000.0;

// Days since 1 January 1970 in the proleptic Gregorian calendar (H. Hinnant's algorithm).
long long daysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

// The civil date of a day count since 1 January 1970 (the inverse of daysFromCivil).
void civilFromDays(long long days, int& year, int& month, int& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    year = static_cast<int>(static_cast<long long>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0));
}

constexpr double kLastDayNumber = 2958466.0;
constexpr long long kMillisecondsPerDayInt = 86'400'000;

} // namespace

double daysSince1899(const LocalDateTime& when) {
    static const long long epoch = daysFromCivil(1899, 12, 30);
    const long long days = daysFromCivil(when.year, static_cast<unsigned>(when.month),
                                         static_cast<unsigned>(when.day)) -
                           epoch;
    const long long ms =
        ((static_cast<long long>(when.hour) * 60 + when.minute) * 60 + when.second) * 1000 +
        when.millisecond;
    return static_cast<double>(days) + static_cast<double>(ms) / kMillisecondsPerDay;
}

bool fromDaysSince1899(double days, LocalDateTime& when) {
    if (!(days >= 0.0 && days < kLastDayNumber)) {
        return false;
    }
    static const long long epoch = daysFromCivil(1899, 12, 30);
    auto wholeDays = static_cast<long long>(days);
    long long ms = std::llround((days - static_cast<double>(wholeDays)) * kMillisecondsPerDay);
    if (ms >= kMillisecondsPerDayInt) {
        ++wholeDays;
        ms -= kMillisecondsPerDayInt;
        if (static_cast<double>(wholeDays) >= kLastDayNumber) {
            return false;
        }
    }
    civilFromDays(wholeDays + epoch, when.year, when.month, when.day);
    when.millisecond = static_cast<int>(ms % 1000);
    when.second = static_cast<int>(ms / 1000 % 60);
    when.minute = static_cast<int>(ms / 60'000 % 60);
    when.hour = static_cast<int>(ms / 3'600'000);
    return true;
}

bool isCalendarDate(int year, int month, int day) {
    if (month < 1 || month > 12 || day < 1) {
        return false;
    }
    constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
}

} // namespace thermavo
