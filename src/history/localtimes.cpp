#include "history/localtimes.h"

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <utility>

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

std::int64_t floorQuarter(std::int64_t ms) {
    return ms >= 0 ? ms / kQuarterMs : -((-ms + kQuarterMs - 1) / kQuarterMs);
}

} // namespace

LocalTimes::LocalTimes(QTimeZone zone) : m_zone(std::move(zone)) {}

int LocalTimes::offsetAtInstant(std::int64_t ms) const {
    return m_zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()));
}

LocalTimes::WallOffsets LocalTimes::offsetsAtWallClock(std::int64_t wallMs) const {
    // The offsets a day before and after; no zone changes its clocks twice within two days.
    const int before = offsetAtInstant(wallMs - kDayMs);
    const int after = offsetAtInstant(wallMs + kDayMs);
    const auto holds = [&](int offset) {
        return offsetAtInstant(wallMs - offset * 1000LL) == offset;
    };
    const bool beforeHolds = holds(before);
    const bool afterHolds = after != before && holds(after);
    if (beforeHolds && afterHolds) {
        // The larger offset puts the time earlier: that is its first coming.
        return {std::max(before, after), std::min(before, after)};
    }
    const int offset = afterHolds ? after : before;
    return {offset, offset};
}

std::int64_t LocalTimes::instantOf(const LocalDateTime& when) {
    const std::int64_t wall = wallClockMs(when);
    const std::int64_t quarter = floorQuarter(wall);
    if (quarter != m_localQuarter) {
        m_localQuarter = quarter;
        const WallOffsets start = offsetsAtWallClock(quarter * kQuarterMs);
        const WallOffsets end = offsetsAtWallClock((quarter + 1) * kQuarterMs - 1);
        m_localOffset = start.first;
        m_localOffsetHolds =
            start.first == start.second && end.first == end.second && start.first == end.first;
    }
    std::int64_t instant = wall - m_localOffset * 1000LL;
    if (!m_localOffsetHolds) {
        const WallOffsets offsets = offsetsAtWallClock(wall);
        instant = wall - offsets.first * 1000LL;
        if (instant < m_last) {
            instant = wall - offsets.second * 1000LL;
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
