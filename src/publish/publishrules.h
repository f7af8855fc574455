#pragma once

#include "events/runevents.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace thermavo {

// One message for the broker.
struct BrokerMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;

    bool operator==(const BrokerMessage&) const = default;
};

inline constexpr std::string_view kOnlinePayload = "online";
inline constexpr std::string_view kOfflinePayload = "offline";
// Where Home Assistant announces itself: "online" when it starts, so discovery goes again.
inline constexpr std::string_view kHomeAssistantStatusTopic = "homeassistant/status";
inline constexpr std::string_view kDiscoveryPrefix = "homeassistant";

// "thermavo/<host>" with what MQTT forbids or treats as wildcards and separators in a topic
// level ('+', '#', '/', NUL) replaced by '_'; "thermavo/pc" for an empty host name.
std::string defaultTopicPrefix(std::string_view hostName);
// A prefix a subscriber can use: not empty, no wildcards, no NUL, no leading or trailing '/'.
bool validTopicPrefix(std::string_view prefix);

// The board list's names, by row: "Vexor08", "Vexor04", "Vexor04 USB".
std::string_view boardKind(int boardRow);

// A temperature as a bare number with two decimals and a '.' separator ("21.37", "-0.50").
std::string formatTemperature(float celsius);
// The tick's local time in ISO 8601 with its offset: "2024-12-08T15:12:01.000+01:00".
std::string isoTime(std::int64_t msSinceEpoch, std::int32_t utcOffsetSeconds);
// A JSON string literal, quotes included.
std::string jsonString(std::string_view text);

std::string channelTopic(std::string_view prefix, int channel);
std::string statusTopic(std::string_view prefix);
std::string stateTopic(std::string_view prefix);

// The retained last will and the retained "online" that replaces it once connected.
BrokerMessage lastWill(std::string_view prefix);
BrokerMessage onlineMessage(std::string_view prefix);

// What one tick publishes: per channel with a sample its filtered value, retained, QoS 0; then
// the state object with the tick's time, every channel's value or null and the board kind, at
// QoS 1 so that a backlog is confirmed by the broker one tick at a time. The state comes last.
std::vector<BrokerMessage> tickMessages(std::string_view prefix, const SampleTick& tick);

// Home Assistant's discovery: one retained sensor config per channel of the board, each naming
// the channel's topic, the status topic as availability and an expiry of three sample intervals
// (at least a minute), so a stopped logger shows as unavailable.
struct DiscoveryInput {
    std::string prefix;
    // Identifies the device across restarts: the client id.
    std::string deviceId;
    std::string deviceName;
    int boardRow = 0;
    std::int32_t intervalSeconds = 1;
};
int channelsOfBoard(int boardRow);
std::vector<BrokerMessage> discoveryMessages(const DiscoveryInput& input);
// Empty retained configs for the channels a board of this row lacks, so that switching from the
// 8-channel board to a 4-channel one removes the four entities that no longer exist.
std::vector<BrokerMessage> discoveryRemovals(const DiscoveryInput& input);

// An alarm's state and events, for the alarms to publish through the same client.
enum class AlarmLevel { Normal, Low, High, NoData };
std::string_view alarmLevelText(AlarmLevel level);
// Retained on <prefix>/alarm/T<n>, QoS 1: "normal", "low" or "high".
BrokerMessage alarmStateMessage(std::string_view prefix, int channel, AlarmLevel level);
struct AlarmEvent {
    int channel = 0;
    AlarmLevel level = AlarmLevel::Normal;
    float celsius = 0.0f;
    float limit = 0.0f;
    std::int64_t msSinceEpoch = 0;
    std::int32_t utcOffsetSeconds = 0;
    // What the alarm watches ("high", "low", "no data", "board"), what happened to it ("raised",
    // "cleared", "acknowledged") and the channel's name; each left out of the message when empty.
    std::string kind{};
    std::string event{};
    std::string name{};
};
// On <prefix>/alarm/event, QoS 1, not retained: a JSON object with the channel ("board" for
// channel -1), level, value, limit and time, and the kind, event and name where given.
BrokerMessage alarmEventMessage(std::string_view prefix, const AlarmEvent& event);
// A binary sensor per channel's alarm for Home Assistant, "on" for a low or high level.
std::vector<BrokerMessage> alarmDiscoveryMessages(const DiscoveryInput& input);

// The pause before the next attempt to reach the broker: the first, doubled after every failed
// attempt up to the longest, and the first again once connected.
class ReconnectPause {
public:
    ReconnectPause(std::int64_t firstMs, std::int64_t longestMs);
    // The pause before the next attempt; the one after it grows.
    std::int64_t next();
    void connected();

private:
    std::int64_t m_first;
    std::int64_t m_longest;
    std::int64_t m_current;
};

// The ticks not yet confirmed by the broker, oldest first, up to a bound: a day at a 1 s
// interval. Beyond it the oldest tick goes, and is counted, so the newest readings always reach
// the broker. A tick is sent, then confirmed; a lost connection makes every sent but unconfirmed
// tick due again, in its place.
class TickBacklog {
public:
    static constexpr std::size_t kDefaultBound = 86'400;

    explicit TickBacklog(std::size_t bound = kDefaultBound);

    void push(const SampleTick& tick);
    // The next tick to send, with its sequence number; none when every tick is sent.
    std::optional<std::pair<std::uint64_t, SampleTick>> nextToSend();
    // The broker confirmed the tick of that sequence number.
    void confirm(std::uint64_t sequence);
    // The connection went: every unconfirmed tick is due again, oldest first.
    void connectionLost();

    std::size_t size() const { return m_ticks.size(); }
    std::size_t unsent() const { return m_ticks.size() - m_sent; }
    std::uint64_t dropped() const { return m_dropped; }

private:
    struct Entry {
        std::uint64_t sequence;
        SampleTick tick;
        bool confirmed;
    };
    std::size_t m_bound;
    std::deque<Entry> m_ticks;
    // How many at the front have been sent.
    std::size_t m_sent = 0;
    std::uint64_t m_nextSequence = 0;
    std::uint64_t m_dropped = 0;
};

// Where the client stands, for the status bar.
enum class BrokerState { Connecting, Online, Unreachable, Refused };
struct BrokerStatus {
    BrokerState state = BrokerState::Connecting;
    // Host and port, or why the last attempt failed.
    std::string detail;
    std::int64_t retryInMs = 0;
    std::size_t waiting = 0;
    std::uint64_t dropped = 0;

    bool operator==(const BrokerStatus&) const = default;
};
// "Broker: online", "Broker unreachable (connection refused), next try in 4 s; 12 samples
// waiting", ...
std::string brokerStatusText(const BrokerStatus& status);
// What a refused CONNACK code (MQTT 3.1.1) means to the user.
std::string refusalText(int connackCode);

} // namespace thermavo
