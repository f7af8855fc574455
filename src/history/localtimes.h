#pragma once

#include "log/datetime.h"

#include <QTimeZone>
#include <cstdint>

namespace thermavo {

// Converts between the local date and time of the logs and the instants the history keeps, in a
// time zone (the system's unless told). The offsets come from the zone's own rules, never from
// what the C library's local time conversions happen to remember. Looking up the time zone is
// the slow part of reading or writing a long log, so the offset found for a quarter of an hour
// is reused while it holds, once, at both ends of that quarter; a quarter across a change of the
// clocks is looked up time by time.
class LocalTimes {
public:
    explicit LocalTimes(QTimeZone zone = QTimeZone::systemTimeZone());

    // The instant of a local date and time, in milliseconds since 1970 UTC. A local time that
    // comes twice (the hour the clocks go back) is taken as its first coming, and as its second
    // when the first would lie before the time converted last, so that a log running across it
    // stays in order whatever was converted before. A local time the clocks skip is taken with
    // the offset before the change.
    std::int64_t instantOf(const LocalDateTime& when);
    // The local date and time of an instant, and its offset from UTC in seconds.
    LocalDateTime localOf(std::int64_t msSinceEpoch, int& utcOffsetSeconds);

private:
    // The offsets from UTC a local wall-clock time has at its first and second coming; the same
    // when it comes once.
    struct WallOffsets {
        int first = 0;
        int second = 0;
    };
    WallOffsets offsetsAtWallClock(std::int64_t wallMs) const;
    int offsetAtInstant(std::int64_t ms) const;

    QTimeZone m_zone;
    std::int64_t m_localQuarter = -1;
    int m_localOffset = 0;
    bool m_localOffsetHolds = false;
    std::int64_t m_utcQuarter = -1;
    int m_utcOffset = 0;
    bool m_utcOffsetHolds = false;
    std::int64_t m_last = 0;
};

} // namespace thermavo
