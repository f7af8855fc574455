#include "alarms/alarmsettings.h"

#include "ui/profilefile.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace thermavo::alarms {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string entryName(std::string_view section, std::string_view key) {
    return "[" + std::string(section) + "] " + std::string(key);
}

// A key that is missing or empty is off; one that holds anything else must parse and lie in range.
template <typename T, typename Parse>
std::optional<T> readOptional(std::string_view ini, std::string_view section, std::string_view key,
                              Parse parse, T lowest, T highest, std::vector<std::string>& dropped) {
    const auto text = findProfileValue(ini, section, key);
    if (!text || trimmed(*text).empty())
        return std::nullopt;
    const std::optional<T> value = parse(*text);
    if (!value || *value < lowest || *value > highest) {
        dropped.push_back(entryName(section, key) + "=" + *text + ": not a number from " +
                          numberText(lowest) + " to " + numberText(highest));
        return std::nullopt;
    }
    return value;
}

bool readFlag(std::string_view ini, std::string_view key, bool fallback,
              std::vector<std::string>& dropped) {
    const auto text = findProfileValue(ini, kCommonSection, key);
    if (!text || trimmed(*text).empty())
        return fallback;
    const auto value = parseInteger(*text);
    if (!value || (*value != 0 && *value != 1)) {
        dropped.push_back(entryName(kCommonSection, key) + "=" + *text + ": not 0 or 1");
        return fallback;
    }
    return *value == 1;
}

template <typename T> std::string optionalText(const std::optional<T>& value) {
    return value ? numberText(static_cast<double>(*value)) : std::string();
}

} // namespace

std::string channelSection(int channel) {
    return "AlarmT" + std::to_string(channel + 1);
}

std::string numberText(double value) {
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (error != std::errc())
        return {};
    return std::string(buffer, end);
}

std::optional<double> parseNumber(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int> parseInteger(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

LoadedSettings loadSettings(std::string_view ini) {
    LoadedSettings loaded;
    AlarmSettings& settings = loaded.settings;
    auto& dropped = loaded.dropped;
    settings.latch = readFlag(ini, "Latch", true, dropped);
    settings.sound = readFlag(ini, "Sound", false, dropped);
    settings.boardLostSeconds = readOptional<int>(ini, kCommonSection, "BoardLostSeconds",
                                                  parseInteger, 1, kLargestSeconds, dropped);
    settings.noReplySeconds = readOptional<int>(ini, kCommonSection, "NoReplySeconds", parseInteger,
                                                1, kLargestSeconds, dropped);
    settings.program = std::string(
        trimmed(findProfileValue(ini, kCommonSection, "Program").value_or(std::string())));
    settings.logFolder = std::string(
        trimmed(findProfileValue(ini, kCommonSection, "LogFolder").value_or(std::string())));
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        const std::string section = channelSection(channel);
        ChannelAlarms& alarms = settings.channels[static_cast<size_t>(channel)];
        alarms.name =
            std::string(trimmed(findProfileValue(ini, section, "Name").value_or(std::string())));
        alarms.high = readOptional<double>(ini, section, "High", parseNumber, kLowestLimit,
                                           kHighestLimit, dropped);
        alarms.low = readOptional<double>(ini, section, "Low", parseNumber, kLowestLimit,
                                          kHighestLimit, dropped);
        if (limitsError(alarms.low, alarms.high)) {
            dropped.push_back("[" + section + "] Low=" + numberText(*alarms.low) +
                              " and High=" + numberText(*alarms.high) +
                              ": the low limit must lie below the high one");
            alarms.low.reset();
            alarms.high.reset();
        }
        alarms.hysteresis = readOptional<double>(ini, section, "Hysteresis", parseNumber, 0.0,
                                                 kLargestHysteresis, dropped)
                                .value_or(kDefaultHysteresis);
        alarms.delay =
            readOptional<int>(ini, section, "Delay", parseInteger, 1, kLargestDelay, dropped)
                .value_or(1);
        alarms.noDataSeconds = readOptional<int>(ini, section, "NoDataSeconds", parseInteger, 1,
                                                 kLargestSeconds, dropped);
    }
    return loaded;
}

void forEachEntry(const AlarmSettings& settings,
                  const std::function<void(std::string_view section, std::string_view key,
                                           const std::string& value)>& set) {
    set(kCommonSection, "Latch", settings.latch ? "1" : "0");
    set(kCommonSection, "Sound", settings.sound ? "1" : "0");
    set(kCommonSection, "BoardLostSeconds", optionalText(settings.boardLostSeconds));
    set(kCommonSection, "NoReplySeconds", optionalText(settings.noReplySeconds));
    set(kCommonSection, "Program", settings.program);
    set(kCommonSection, "LogFolder", settings.logFolder);
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        const std::string section = channelSection(channel);
        const ChannelAlarms& alarms = settings.channels[static_cast<size_t>(channel)];
        set(section, "Name", alarms.name);
        set(section, "High", optionalText(alarms.high));
        set(section, "Low", optionalText(alarms.low));
        set(section, "Hysteresis", numberText(alarms.hysteresis));
        set(section, "Delay", std::to_string(alarms.delay));
        set(section, "NoDataSeconds", optionalText(alarms.noDataSeconds));
    }
}

std::string withSettings(std::string_view ini, const AlarmSettings& settings) {
    std::string text(ini);
    forEachEntry(settings,
                 [&text](std::string_view section, std::string_view key, const std::string& value) {
                     text = withProfileValue(text, section, key, value);
                 });
    return text;
}

std::optional<std::string> limitError(std::string_view text, std::optional<double>& limit) {
    limit.reset();
    if (trimmed(text).empty())
        return std::nullopt;
    const auto value = parseNumber(text);
    if (!value)
        return "\"" + std::string(trimmed(text)) + "\" is no number.";
    if (*value < kLowestLimit || *value > kHighestLimit)
        return "A limit must lie from -45 to 150 °C.";
    limit = value;
    return std::nullopt;
}

std::optional<std::string> limitsError(const std::optional<double>& low,
                                       const std::optional<double>& high) {
    if (low && high && !(*low < *high))
        return std::string("The low limit must lie below the high one.");
    return std::nullopt;
}

std::optional<std::string> noDataError(const std::optional<int>& seconds, int intervalSeconds) {
    if (seconds && *seconds < intervalSeconds)
        return "\"No data\" must be at least the sample interval, " +
               std::to_string(intervalSeconds) + " s.";
    return std::nullopt;
}

} // namespace thermavo::alarms
