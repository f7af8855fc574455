#pragma once

#include "alarms/alarmsettings.h"
#include "events/runevents.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace thermavo::alarms {

enum class Kind { High, Low, NoData, Board };

enum class State {
    Normal,
    // The condition holds, but not yet for the delay's number of ticks in a row.
    Pending,
    Active,
    ActiveAcknowledged,
    // The condition went away before anyone acknowledged it; shown until acknowledged.
    ClearedUnacknowledged,
};

enum class EventType { Raised, Cleared, Acknowledged };

// Why the board alarm is raised.
enum class BoardCause { None, Lost, NoReply };

struct Moment {
    std::int64_t msSinceEpoch = 0;
    std::int32_t utcOffsetSeconds = 0;
    friend bool operator==(const Moment&, const Moment&) = default;
};

// Three alarms per channel and one for the board, in a fixed order.
inline constexpr int kAlarmCount = kAlarmChannels * 3 + 1;
inline constexpr int kBoardAlarm = kAlarmCount - 1;

// -1 for the board alarm.
int channelOf(int alarm);
Kind kindOf(int alarm);
int alarmIndex(int channel, Kind kind);
// "high", "low", "no data", "board".
const char* kindText(Kind kind);
// "raised", "cleared", "acknowledged".
const char* eventText(EventType type);
// "normal", "pending", "active", "acknowledged", "cleared, unacknowledged".
const char* stateText(State state);

struct AlarmStatus {
    State state = State::Normal;
    // Raised (or, while pending, first seen).
    std::optional<Moment> since;
    std::optional<Moment> acknowledged;
    std::optional<Moment> cleared;
    // The farthest past the limit while raised: highest for a high alarm, lowest for a low one;
    // seconds without a sample or reply for the others.
    std::optional<double> worst;
    // Shown again after a restart, until acknowledged.
    bool fromPreviousRun = false;
    BoardCause cause = BoardCause::None;
    int pendingTicks = 0;
};

struct AlarmEvent {
    int alarm = 0;
    EventType type = EventType::Raised;
    Moment time;
    // The filtered value (high, low), or the seconds without sample or reply; none for an
    // acknowledgement.
    std::optional<double> value;
    // The limit in °C, or the configured seconds.
    std::optional<double> limit;
    BoardCause cause = BoardCause::None;
};

// An alarm's state kept for the next run: only alarms raised or still to be acknowledged.
struct PersistedAlarm {
    int alarm = 0;
    AlarmStatus status;
};

// The alarm conditions over what the window publishes. Every call returns the events it caused,
// in alarm order; the caller announces them together.
class AlarmRules {
public:
    explicit AlarmRules(AlarmSettings settings = {});

    const AlarmSettings& settings() const { return m_settings; }
    // New limits take effect at the next tick; an alarm no longer configured goes back to normal
    // unless someone still has to acknowledge it.
    void setSettings(AlarmSettings settings);
    bool configured(int alarm) const;

    // The first tick, and each tick of another interval, drops every "no data" alarm shorter than
    // the sample interval, which the sample clock could never see; takeDropped() names them.
    std::vector<AlarmEvent> onTick(const SampleTick& tick);
    // The entries dropped since last asked, one line each, as a settings file's broken entries.
    std::vector<std::string> takeDropped();
    std::vector<AlarmEvent> onLink(const LinkEvent& event);
    // The lost board raises its alarm while no ticks come: the caller calls this every second or
    // so while the board is lost.
    std::vector<AlarmEvent> onClock(Moment now);

    std::vector<AlarmEvent> acknowledge(int alarm, Moment now);
    std::vector<AlarmEvent> acknowledgeAll(Moment now);

    // Off line by the user's switch (or before the first switch on line): nothing is evaluated.
    bool paused() const { return m_link == Link::OffLine; }
    bool boardLost() const { return m_link == Link::Lost; }

    const AlarmStatus& status(int alarm) const { return m_status.at(static_cast<size_t>(alarm)); }
    // Active or unacknowledged.
    bool needsAttention(int alarm) const;
    int attentionCount() const;
    // The alarm the status bar names: unacknowledged before acknowledged, the board before no
    // data before limits, then the earliest raised. Nothing when none needs attention.
    std::optional<int> mostSevere() const;

    std::vector<PersistedAlarm> persisted() const;
    // States of the previous run, shown again as such; a condition that still holds is not
    // announced again. Alarms not configured now are dropped.
    void restore(const std::vector<PersistedAlarm>& alarms);

private:
    enum class Link { OffLine, OnLine, Lost };

    AlarmStatus& at(int alarm) { return m_status.at(static_cast<size_t>(alarm)); }
    void evaluateLimit(int alarm, bool holds, bool clears, double value, double limit,
                       const Moment& time, std::vector<AlarmEvent>& events);
    void evaluateTimeout(int alarm, std::optional<double> seconds, double limit, const Moment& time,
                         BoardCause cause, std::vector<AlarmEvent>& events);
    void raise(int alarm, const Moment& time, std::optional<double> value,
               std::optional<double> limit, BoardCause cause, std::vector<AlarmEvent>& events);
    void clear(int alarm, const Moment& time, std::optional<double> value,
               std::optional<double> limit, std::vector<AlarmEvent>& events);
    void resetPending();
    void dropShortNoData();

    AlarmSettings m_settings;
    std::array<AlarmStatus, kAlarmCount> m_status{};
    Link m_link = Link::OffLine;
    // When each channel last had a sample, and the board last replied, in this stretch on line.
    std::array<std::int64_t, kAlarmChannels> m_lastSample{};
    std::int64_t m_lastReply = 0;
    std::int64_t m_lostSince = 0;
    // The sample interval of the ticks, once one came.
    int m_interval = 0;
    std::vector<std::string> m_dropped;
};

// The kept states as text, one line per alarm, and back; lines that do not parse are skipped.
std::string persistedText(const std::vector<PersistedAlarm>& alarms);
std::vector<PersistedAlarm> parsePersisted(std::string_view text);

} // namespace thermavo::alarms
