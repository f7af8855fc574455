#pragma once

#include "alarms/alarmrules.h"

#include <string>
#include <vector>

namespace thermavo::alarms {

// "T3", "T3 Freezer A", or "Board".
std::string alarmSubject(const AlarmSettings& settings, int alarm);
// What the alarm watches: "above 5.0 °C", "below -20.0 °C", "no data for 60 s", "board lost for
// 30 s", "no reply for 30 s". The decimal separator is the user's.
std::string conditionText(const AlarmSettings& settings, int alarm, BoardCause cause, char decimal);
// "02:11:05", the local time of day.
std::string timeOfDay(const Moment& moment);
// "2024-12-08 02:11:05", the local date and time.
std::string localDateTime(const Moment& moment);
// "+01:00".
std::string offsetText(std::int32_t utcOffsetSeconds);
// A value with one decimal and the user's separator ("5.0", "-12,5").
std::string oneDecimal(double value, char decimal);

// An event in a line: "T3 Freezer A above 5.0 °C: raised at 6.5 °C".
std::string eventSummary(const AlarmSettings& settings, const AlarmEvent& event, char decimal);

// The status bar's text for the most severe alarm, with the number of others:
// "Alarm: T3 Freezer A above 5.0 °C since 02:11:05 (+2)". Empty when none needs attention.
std::string statusText(const AlarmRules& rules, char decimal);

// The notification for what changed in one tick: one line per alarm raised or cleared;
// acknowledgements are not announced. Empty when there is nothing to tell.
std::string notificationText(const AlarmSettings& settings, const std::vector<AlarmEvent>& events,
                             char decimal);

// An event as the alarm log and the program's environment give it.
struct EventFields {
    std::string channel; // "T3", "Board"
    std::string name;
    std::string kind;  // "high", "low", "no data", "board lost", "no reply"
    std::string event; // "raised", "cleared", "acknowledged"
    std::string value; // "6.25" °C, or seconds; empty for an acknowledgement
    std::string limit; // "5" °C, or seconds
    std::string time;  // ISO 8601 with the offset: "2024-12-08T16:12:01+01:00"
};
EventFields eventFields(const AlarmSettings& settings, const AlarmEvent& event);

// The alarm log: a CSV file in UTF-8, a header line and one whole line per event.
inline constexpr std::string_view kAlarmLogHeader =
    "Time,UTC offset,Channel,Name,Kind,Event,Value,Limit,Note\r\n";
// A line with a note tells what failed for the alarm (its program): it has no event.
std::string alarmLogLine(const AlarmSettings& settings, const AlarmEvent& event,
                         const std::string& note = {});
// A field quoted as CSV needs it: with its quotes doubled, line ends made blanks.
std::string csvField(std::string_view text);

} // namespace thermavo::alarms
