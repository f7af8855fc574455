#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace thermavo::alarms {

inline constexpr int kAlarmChannels = 8;
inline constexpr double kLowestLimit = -45.0;
inline constexpr double kHighestLimit = 150.0;
inline constexpr double kDefaultHysteresis = 0.5;
inline constexpr double kLargestHysteresis = 50.0;
inline constexpr int kLargestDelay = 1000;
inline constexpr int kLargestSeconds = 7 * 24 * 3600;

struct ChannelAlarms {
    std::string name;
    std::optional<double> high;
    std::optional<double> low;
    double hysteresis = kDefaultHysteresis;
    // Ticks in a row the condition must hold; 1 raises at once.
    int delay = 1;
    std::optional<int> noDataSeconds;
    friend bool operator==(const ChannelAlarms&, const ChannelAlarms&) = default;
};

struct AlarmSettings {
    std::array<ChannelAlarms, kAlarmChannels> channels{};
    std::optional<int> boardLostSeconds;
    std::optional<int> noReplySeconds;
    bool latch = true;
    bool sound = false;
    // Started on each raise, clear and acknowledgement; empty for none.
    std::string program;
    // Where the alarm log goes; empty for the default folder.
    std::string logFolder;
    friend bool operator==(const AlarmSettings&, const AlarmSettings&) = default;
};

// What a settings file held: every good entry, and a line naming each one dropped.
struct LoadedSettings {
    AlarmSettings settings;
    std::vector<std::string> dropped;
};

// The sections the settings live in: "Alarms" for what is common, "AlarmT1" ... "AlarmT8" for
// each channel. Numbers are written with a point, whatever the regional settings.
inline constexpr std::string_view kCommonSection = "Alarms";
std::string channelSection(int channel);

// Reads the alarm sections of an INI text; anything else in it is ignored.
LoadedSettings loadSettings(std::string_view iniText);
// Every key the settings are kept in, with its text, section by section.
void forEachEntry(const AlarmSettings& settings,
                  const std::function<void(std::string_view section, std::string_view key,
                                           const std::string& value)>& entry);
// The INI text with the alarm sections set; every other byte is kept. A key that is off is
// written empty.
std::string withSettings(std::string_view iniText, const AlarmSettings& settings);

// Checks of a value typed by the user. Each gives the message that refuses it, or nothing.
// A limit that is no number, or lies outside -45 ... 150 °C.
std::optional<std::string> limitError(std::string_view text, std::optional<double>& limit);
std::optional<std::string> limitsError(const std::optional<double>& low,
                                       const std::optional<double>& high);
// "No data" must last at least one sample interval, or it could never be seen on the sample clock.
std::optional<std::string> noDataError(const std::optional<int>& seconds, int intervalSeconds);

// A number written with a point, shortest form ("5", "-12.5").
std::string numberText(double value);
// A decimal number with an optional sign and point, nothing else around it but blanks.
std::optional<double> parseNumber(std::string_view text);
std::optional<int> parseInteger(std::string_view text);

} // namespace thermavo::alarms
