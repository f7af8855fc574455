#include "publish/publishrules.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace thermavo {

namespace {

constexpr int kFourChannels = 4;
constexpr std::int32_t kShortestExpirySeconds = 60;
constexpr int kExpiryIntervals = 3;

bool hasValue(const ChannelTick& channel) {
    return channel.valid && std::isfinite(channel.filtered);
}

std::string deviceJson(const DiscoveryInput& input) {
    return "{\"identifiers\":[" + jsonString(input.deviceId) +
           "],\"name\":" + jsonString(input.deviceName) +
           ",\"manufacturer\":\"Thermavo\",\"model\":" + jsonString(boardKind(input.boardRow)) +
           "}";
}

// A topic level for Home Assistant's object and node ids, which allow only [a-zA-Z0-9_-].
std::string discoveryId(std::string_view text) {
    std::string id;
    for (const char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
        id += plain ? c : '_';
    }
    return id.empty() ? std::string("thermavo") : id;
}

std::string configTopic(std::string_view component, const DiscoveryInput& input,
                        std::string_view object) {
    return std::string(kDiscoveryPrefix) + '/' + std::string(component) + '/' +
           discoveryId(input.deviceId) + '/' + std::string(object) + "/config";
}

std::string channelName(int channel) {
    return "T" + std::to_string(channel + 1);
}

} // namespace

std::string defaultTopicPrefix(std::string_view hostName) {
    std::string host;
    for (const char c : hostName)
        host += (c == '+' || c == '#' || c == '/' || c == '\0') ? '_' : c;
    return "thermavo/" + (host.empty() ? std::string("pc") : host);
}

bool validTopicPrefix(std::string_view prefix) {
    return !prefix.empty() && prefix.front() != '/' && prefix.back() != '/' &&
           prefix.find_first_of(std::string_view("+#\0", 3)) == std::string_view::npos;
}

std::string_view boardKind(int boardRow) {
    switch (boardRow) {
    case 1:
        return "Vexor04";
    case 2:
        return "Vexor04 USB";
    default:
        return "Vexor08";
    }
}

int channelsOfBoard(int boardRow) {
    return boardRow == 0 ? kTickChannels : kFourChannels;
}

std::string formatTemperature(float celsius) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(celsius),
                                      std::chars_format::fixed, 2);
    std::string text(buffer, result.ptr);
    if (text == "-0.00")
        return "0.00";
    return text;
}

std::string isoTime(std::int64_t msSinceEpoch, std::int32_t utcOffsetSeconds) {
    using namespace std::chrono;
    const sys_time<milliseconds> local{milliseconds(msSinceEpoch + utcOffsetSeconds * 1000LL)};
    const auto day = floor<days>(local);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{local - day};
    const std::int32_t offset = utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()), utcOffsetSeconds < 0 ? '-' : '+',
                  static_cast<int>(offset / 3600), static_cast<int>(offset % 3600 / 60));
    return buffer;
}

std::string jsonString(std::string_view text) {
    std::string json = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                json += escape;
            } else {
                json += c;
            }
        }
    }
    return json + '"';
}

std::string channelTopic(std::string_view prefix, int channel) {
    return std::string(prefix) + '/' + channelName(channel);
}

std::string statusTopic(std::string_view prefix) {
    return std::string(prefix) + "/status";
}

std::string stateTopic(std::string_view prefix) {
    return std::string(prefix) + "/state";
}

BrokerMessage lastWill(std::string_view prefix) {
    return {statusTopic(prefix), std::string(kOfflinePayload), 1, true};
}

BrokerMessage onlineMessage(std::string_view prefix) {
    return {statusTopic(prefix), std::string(kOnlinePayload), 1, true};
}

std::vector<BrokerMessage> tickMessages(std::string_view prefix, const SampleTick& tick) {
    std::vector<BrokerMessage> messages;
    std::string state = "{\"time\":\"" + isoTime(tick.msSinceEpoch, tick.utcOffsetSeconds) +
                        "\",\"board\":" + jsonString(boardKind(tick.boardRow));
    for (int channel = 0; channel < kTickChannels; ++channel) {
        const ChannelTick& sample = tick.channels[static_cast<std::size_t>(channel)];
        const bool value = hasValue(sample);
        if (value)
            messages.push_back(
                {channelTopic(prefix, channel), formatTemperature(sample.filtered), 0, true});
        state += ",\"" + channelName(channel) +
                 "\":" + (value ? formatTemperature(sample.filtered) : std::string("null"));
    }
    state += '}';
    messages.push_back({stateTopic(prefix), std::move(state), 1, false});
    return messages;
}

std::vector<BrokerMessage> discoveryMessages(const DiscoveryInput& input) {
    std::vector<BrokerMessage> messages;
    const std::int32_t expiry =
        std::max(kShortestExpirySeconds, kExpiryIntervals * std::max(input.intervalSeconds, 1));
    for (int channel = 0; channel < channelsOfBoard(input.boardRow); ++channel) {
        const std::string object = channelName(channel);
        const std::string payload =
            "{\"name\":" + jsonString(object) +
            ",\"unique_id\":" + jsonString(discoveryId(input.deviceId) + '_' + object) +
            ",\"state_topic\":" + jsonString(channelTopic(input.prefix, channel)) +
            ",\"device_class\":\"temperature\",\"state_class\":\"measurement\","
            "\"unit_of_measurement\":\"°C\",\"availability_topic\":" +
            jsonString(statusTopic(input.prefix)) +
            ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\","
            "\"expire_after\":" +
            std::to_string(expiry) + ",\"device\":" + deviceJson(input) + '}';
        messages.push_back({configTopic("sensor", input, object), payload, 1, true});
    }
    return messages;
}

std::vector<BrokerMessage> discoveryRemovals(const DiscoveryInput& input) {
    std::vector<BrokerMessage> messages;
    for (int channel = channelsOfBoard(input.boardRow); channel < kTickChannels; ++channel) {
        const std::string object = channelName(channel);
        messages.push_back({configTopic("sensor", input, object), std::string(), 1, true});
        messages.push_back(
            {configTopic("binary_sensor", input, object + "_alarm"), std::string(), 1, true});
    }
    return messages;
}

std::string_view alarmLevelText(AlarmLevel level) {
    switch (level) {
    case AlarmLevel::Low:
        return "low";
    case AlarmLevel::High:
        return "high";
    case AlarmLevel::NoData:
        return "no data";
    case AlarmLevel::Normal:
        break;
    }
    return "normal";
}

BrokerMessage alarmStateMessage(std::string_view prefix, int channel, AlarmLevel level) {
    return {std::string(prefix) + "/alarm/" + channelName(channel),
            std::string(alarmLevelText(level)), 1, true};
}

BrokerMessage alarmEventMessage(std::string_view prefix, const AlarmEvent& event) {
    std::string payload =
        "{\"channel\":\"" +
        (event.channel < 0 ? std::string("board") : channelName(event.channel)) +
        "\",\"level\":\"" + std::string(alarmLevelText(event.level)) + "\",\"value\":" +
        (std::isfinite(event.celsius) ? formatTemperature(event.celsius) : std::string("null")) +
        ",\"limit\":" +
        (std::isfinite(event.limit) ? formatTemperature(event.limit) : std::string("null")) +
        ",\"time\":\"" + isoTime(event.msSinceEpoch, event.utcOffsetSeconds) + '"';
    for (const auto& [key, text] : {std::pair<const char*, const std::string&>{"kind", event.kind},
                                    {"event", event.event},
                                    {"name", event.name}}) {
        if (!text.empty())
            payload += std::string(",\"") + key + "\":" + jsonString(text);
    }
    payload += '}';
    return {std::string(prefix) + "/alarm/event", std::move(payload), 1, false};
}

std::vector<BrokerMessage> alarmDiscoveryMessages(const DiscoveryInput& input) {
    std::vector<BrokerMessage> messages;
    for (int channel = 0; channel < channelsOfBoard(input.boardRow); ++channel) {
        const std::string object = channelName(channel) + "_alarm";
        const std::string payload =
            "{\"name\":" + jsonString(channelName(channel) + " alarm") +
            ",\"unique_id\":" + jsonString(discoveryId(input.deviceId) + '_' + object) +
            ",\"state_topic\":" +
            jsonString(std::string(input.prefix) + "/alarm/" + channelName(channel)) +
            ",\"device_class\":\"problem\","
            "\"value_template\":\"{{ 'OFF' if value == 'normal' else 'ON' }}\","
            "\"availability_topic\":" +
            jsonString(statusTopic(input.prefix)) + ",\"device\":" + deviceJson(input) + '}';
        messages.push_back({configTopic("binary_sensor", input, object), payload, 1, true});
    }
    return messages;
}

ReconnectPause::ReconnectPause(std::int64_t firstMs, std::int64_t longestMs)
    : m_first(std::max<std::int64_t>(firstMs, 1)), m_longest(std::max(longestMs, m_first)),
      m_current(m_first) {}

std::int64_t ReconnectPause::next() {
    const std::int64_t pause = m_current;
    m_current = std::min(m_current * 2, m_longest);
    return pause;
}

void ReconnectPause::connected() {
    m_current = m_first;
}

TickBacklog::TickBacklog(std::size_t bound) : m_bound(std::max<std::size_t>(bound, 1)) {}

void TickBacklog::push(const SampleTick& tick) {
    if (m_ticks.size() == m_bound) {
        m_ticks.pop_front();
        if (m_sent > 0)
            --m_sent;
        ++m_dropped;
    }
    m_ticks.push_back({m_nextSequence++, tick, false});
}

std::optional<std::pair<std::uint64_t, SampleTick>> TickBacklog::nextToSend() {
    while (m_sent < m_ticks.size() && m_ticks[m_sent].confirmed)
        ++m_sent;
    if (m_sent == m_ticks.size())
        return std::nullopt;
    const Entry& entry = m_ticks[m_sent++];
    return std::make_pair(entry.sequence, entry.tick);
}

void TickBacklog::confirm(std::uint64_t sequence) {
    for (std::size_t index = 0; index < m_sent; ++index) {
        if (m_ticks[index].sequence == sequence) {
            m_ticks[index].confirmed = true;
            break;
        }
    }
    while (m_sent > 0 && m_ticks.front().confirmed) {
        m_ticks.pop_front();
        --m_sent;
    }
}

void TickBacklog::connectionLost() {
    m_sent = 0;
}

} // namespace thermavo

namespace thermavo {

std::string brokerStatusText(const BrokerStatus& status) {
    std::string text;
    switch (status.state) {
    case BrokerState::Connecting:
        text = "Broker: connecting to " + status.detail + "…";
        break;
    case BrokerState::Online:
        text = "Broker: online";
        break;
    case BrokerState::Unreachable:
    case BrokerState::Refused: {
        const std::int64_t seconds = (status.retryInMs + 999) / 1000;
        text = std::string(status.state == BrokerState::Refused ? "Broker refused: "
                                                                : "Broker unreachable: ") +
               status.detail + ", next try in " + std::to_string(seconds) + " s";
        break;
    }
    }
    if (status.waiting > 0)
        text += "; " + std::to_string(status.waiting) +
                (status.waiting == 1 ? " sample waiting" : " samples waiting");
    if (status.dropped > 0)
        text += "; " + std::to_string(status.dropped) + " oldest dropped";
    return text;
}

std::string refusalText(int connackCode) {
    switch (connackCode) {
    case 1:
        return "it does not speak MQTT 3.1.1";
    case 2:
        return "it rejects the client id";
    case 3:
        return "it is not available";
    case 4:
    case 5:
        return "wrong user name or password";
    default:
        return "code " + std::to_string(connackCode);
    }
}

} // namespace thermavo
