#include "alarms/alarmtext.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace thermavo::alarms {

namespace {

std::string fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::string twoDigits(long long value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
}

long long localSeconds(const Moment& moment) {
    // Floor division, so that times before 1970 keep their time of day.
    const long long ms = moment.msSinceEpoch + moment.utcOffsetSeconds * 1000LL;
    return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
}

std::string valueText(const AlarmEvent& event) {
    if (!event.value)
        return {};
    const Kind kind = kindOf(event.alarm);
    return fixed(*event.value, kind == Kind::High || kind == Kind::Low ? 2 : 0);
}

} // namespace

std::string eventSummary(const AlarmSettings& settings, const AlarmEvent& event, char decimal) {
    std::string line = alarmSubject(settings, event.alarm) + " " +
                       conditionText(settings, event.alarm, event.cause, decimal) + ": " +
                       eventFields(settings, event).event;
    const Kind kind = kindOf(event.alarm);
    if (event.value && (kind == Kind::High || kind == Kind::Low))
        line += " at " + oneDecimal(*event.value, decimal) + " °C";
    return line;
}

std::string alarmSubject(const AlarmSettings& settings, int alarm) {
    const int channel = channelOf(alarm);
    if (channel < 0)
        return "Board";
    const std::string& name = settings.channels.at(static_cast<size_t>(channel)).name;
    return "T" + std::to_string(channel + 1) + (name.empty() ? "" : " " + name);
}

std::string oneDecimal(double value, char decimal) {
    std::string text = fixed(value, 1);
    if (text == "-0.0")
        text = "0.0";
    for (char& c : text) {
        if (c == '.')
            c = decimal;
    }
    return text;
}

std::string conditionText(const AlarmSettings& settings, int alarm, BoardCause cause,
                          char decimal) {
    const int channel = channelOf(alarm);
    switch (kindOf(alarm)) {
    case Kind::High:
        return "above " +
               oneDecimal(settings.channels.at(static_cast<size_t>(channel)).high.value_or(0),
                          decimal) +
               " °C";
    case Kind::Low:
        return "below " +
               oneDecimal(settings.channels.at(static_cast<size_t>(channel)).low.value_or(0),
                          decimal) +
               " °C";
    case Kind::NoData:
        return "no data for " +
               std::to_string(
                   settings.channels.at(static_cast<size_t>(channel)).noDataSeconds.value_or(0)) +
               " s";
    case Kind::Board:
        if (cause == BoardCause::NoReply)
            return "no reply for " + std::to_string(settings.noReplySeconds.value_or(0)) + " s";
        return "lost for " + std::to_string(settings.boardLostSeconds.value_or(0)) + " s";
    }
    return {};
}

std::string timeOfDay(const Moment& moment) {
    long long seconds = localSeconds(moment) % 86400;
    if (seconds < 0)
        seconds += 86400;
    return twoDigits(seconds / 3600) + ":" + twoDigits(seconds / 60 % 60) + ":" +
           twoDigits(seconds % 60);
}

std::string localDateTime(const Moment& moment) {
    using namespace std::chrono;
    const sys_seconds local{seconds(localSeconds(moment))};
    const sys_days day = floor<days>(local);
    const year_month_day date{day};
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return buffer + (" " + timeOfDay(moment));
}

std::string offsetText(std::int32_t utcOffsetSeconds) {
    const char sign = utcOffsetSeconds < 0 ? '-' : '+';
    const long long minutes = std::llabs(static_cast<long long>(utcOffsetSeconds)) / 60;
    return sign + twoDigits(minutes / 60) + ":" + twoDigits(minutes % 60);
}

std::string statusText(const AlarmRules& rules, char decimal) {
    const std::optional<int> alarm = rules.mostSevere();
    if (!alarm)
        return {};
    const AlarmStatus& status = rules.status(*alarm);
    std::string text = "Alarm: " + alarmSubject(rules.settings(), *alarm) + " " +
                       conditionText(rules.settings(), *alarm, status.cause, decimal);
    if (status.since)
        text += " since " + timeOfDay(*status.since);
    if (status.state == State::ClearedUnacknowledged)
        text += ", cleared";
    if (status.fromPreviousRun)
        text += ", previous run";
    const int others = rules.attentionCount() - 1;
    if (others > 0)
        text += " (+" + std::to_string(others) + ")";
    return text;
}

std::string notificationText(const AlarmSettings& settings, const std::vector<AlarmEvent>& events,
                             char decimal) {
    std::string text;
    for (const AlarmEvent& event : events) {
        if (event.type == EventType::Acknowledged)
            continue;
        if (!text.empty())
            text += "\n";
        text += alarmSubject(settings, event.alarm) + " " +
                conditionText(settings, event.alarm, event.cause, decimal) + ": " +
                eventText(event.type);
        const Kind kind = kindOf(event.alarm);
        if (event.value && (kind == Kind::High || kind == Kind::Low))
            text += " at " + oneDecimal(*event.value, decimal) + " °C";
        text += ", " + timeOfDay(event.time);
    }
    return text;
}

std::string csvField(std::string_view text) {
    const bool quoted = text.find_first_of(",\"\r\n") != std::string_view::npos;
    std::string field;
    if (quoted)
        field += '"';
    for (const char c : text) {
        if (c == '"')
            field += "\"\"";
        else if (c == '\r' || c == '\n')
            field += ' ';
        else
            field += c;
    }
    if (quoted)
        field += '"';
    return field;
}

EventFields eventFields(const AlarmSettings& settings, const AlarmEvent& event) {
    EventFields fields;
    const int channel = channelOf(event.alarm);
    fields.channel = channel < 0 ? "Board" : "T" + std::to_string(channel + 1);
    if (channel >= 0)
        fields.name = settings.channels.at(static_cast<size_t>(channel)).name;
    fields.kind = kindText(kindOf(event.alarm));
    if (event.cause == BoardCause::Lost)
        fields.kind = "board lost";
    else if (event.cause == BoardCause::NoReply)
        fields.kind = "no reply";
    fields.event = eventText(event.type);
    fields.value = valueText(event);
    fields.limit = event.limit ? numberText(*event.limit) : std::string();
    std::string time = localDateTime(event.time);
    time[10] = 'T';
    fields.time = time + offsetText(event.time.utcOffsetSeconds);
    return fields;
}

std::string alarmLogLine(const AlarmSettings& settings, const AlarmEvent& event,
                         const std::string& note) {
    const EventFields fields = eventFields(settings, event);
    return localDateTime(event.time) + "," + offsetText(event.time.utcOffsetSeconds) + "," +
           fields.channel + "," + csvField(fields.name) + "," + fields.kind + "," +
           (note.empty() ? fields.event : std::string()) + "," + fields.value + "," + fields.limit +
           "," + csvField(note) + "\r\n";
}

} // namespace thermavo::alarms
