#include "history/localtimes.h"

#include <QDateTime>
#include <QTimeZone>
#include <cmath>

namespace thermavo {

namespace {

constexpr std::int64_t kQuarterMs = 15 * 60 * 1000;
constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kHourMs = 3'600'000;
// Days from 30 December 1899 to 1 January 1970.
constexpr double kUnixEpochDays = 25569.0;

// Local wall-clock milliseconds since 1970 of a date and time, as if the clocks never changed.
std::int64_t wallClockMs(const LocalDateTime& when) {
    const double days = daysSince1899(LocalDateTime{when.year, when.month, when.day});
    const auto wholeDays = static_cast<std::int64_t>(std::llround(days - kUnixEpochDays));
    return wholeDays * kDayMs + ((when.hour * 60LL + when.minute) * 60 + when.second) * 1000 +
           when.millisecond;
}

LocalDateTime wallClockTime(std::int64_t ms) {
    LocalDateTime when;
    const std::int64_t days = ms >= 0 ? ms / kDayMs : -((-ms + kDayMs - 1) / kDayMs);
    fromDaysSince1899(static_cast<double>(days) + kUnixEpochDays, when);
    const std::int64_t rest = ms - days * kDayMs;
    when.hour = static_cast<int>(rest / kHourMs);
    when.minute = static_cast<int>(rest / 60'000 % 60);
    when.second = static_cast<int>(rest / 1000 % 60);
    when.millisecond = static_cast<int>(rest % 1000);
    return when;
}

QDateTime localDateTime(const LocalDateTime& when) {
    return QDateTime(QDate(when.year, when.month, when.day),
                     QTime(when.hour, when.minute, when.second, when.millisecond));
}

// The offset of local time from UTC at a local wall-clock time.
int offsetAtWallClock(std::int64_t wallMs) {
    const QDateTime local = localDateTime(wallClockTime(wallMs));
    return static_cast<int>((wallMs - local.toMSecsSinceEpoch()) / 1000);
}

int offsetAtInstant(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
}

std::int64_t floorQuarter(std::int64_t ms) {
    return ms >= 0 ? ms / kQuarterMs : -((-ms + kQuarterMs - 1) / kQuarterMs);
}

} // namespace

std::int64_t LocalTimes::instantOf(const LocalDateTime& when) {
    const std::int64_t wall = wallClockMs(when);
    const std::int64_t quarter = floorQuarter(wall);
    if (quarter != m_localQuarter) {
        m_localQuarter = quarter;
        m_localOffset = offsetAtWallClock(quarter * kQuarterMs);
        m_localOffsetHolds = m_localOffset == offsetAtWallClock((quarter + 1) * kQuarterMs - 1);
    }
    std::int64_t instant = m_localOffsetHolds ? wall - m_localOffset * 1000LL
                                              : localDateTime(when).toMSecsSinceEpoch();
    if (instant < m_last) {
        // The hour the clocks went back shows each local time twice.
        for (const std::int64_t later : {instant + kHourMs / 2, instant + kHourMs}) {
            int offset = 0;
            if (later >= m_last && wallClockMs(localOf(later, offset)) == wall) {
                instant = later;
                break;
            }
        }
    }
    m_last = instant;
    return instant;
}

LocalDateTime LocalTimes::localOf(std::int64_t msSinceEpoch, int& utcOffsetSeconds) {
    const std::int64_t quarter = floorQuarter(msSinceEpoch);
    if (quarter != m_utcQuarter) {
        m_utcQuarter = quarter;
        m_utcOffset = offsetAtInstant(quarter * kQuarterMs);
        m_utcOffsetHolds = m_utcOffset == offsetAtInstant((quarter + 1) * kQuarterMs - 1);
    }
    utcOffsetSeconds = m_utcOffsetHolds ? m_utcOffset : offsetAtInstant(msSinceEpoch);
    return wallClockTime(msSinceEpoch + utcOffsetSeconds * 1000LL);
}

} // namespace thermavo
