#include "log/datetime.h"

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

} // namespace thermavo
