#include "alarms/alarmrules.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace thermavo::alarms {

int channelOf(int alarm) {
    return alarm == kBoardAlarm ? -1 : alarm / 3;
}

Kind kindOf(int alarm) {
    return alarm == kBoardAlarm ? Kind::Board : static_cast<Kind>(alarm % 3);
}

int alarmIndex(int channel, Kind kind) {
    if (kind == Kind::Board)
        return kBoardAlarm;
    if (channel < 0 || channel >= kAlarmChannels)
        throw std::out_of_range("no such channel");
    return channel * 3 + static_cast<int>(kind);
}

const char* kindText(Kind kind) {
    switch (kind) {
    case Kind::High:
        return "high";
    case Kind::Low:
        return "low";
    case Kind::NoData:
        return "no data";
    case Kind::Board:
        return "board";
    }
    return "";
}

const char* eventText(EventType type) {
    switch (type) {
    case EventType::Raised:
        return "raised";
    case EventType::Cleared:
        return "cleared";
    case EventType::Acknowledged:
        return "acknowledged";
    }
    return "";
}

const char* stateText(State state) {
    switch (state) {
    case State::Normal:
        return "normal";
    case State::Pending:
        return "pending";
    case State::Active:
        return "active";
    case State::ActiveAcknowledged:
        return "acknowledged";
    case State::ClearedUnacknowledged:
        return "cleared, unacknowledged";
    }
    return "";
}

AlarmRules::AlarmRules(AlarmSettings settings) {
    setSettings(std::move(settings));
}

void AlarmRules::setSettings(AlarmSettings settings) {
    m_settings = std::move(settings);
    dropShortNoData();
    for (int alarm = 0; alarm < kAlarmCount; ++alarm) {
        AlarmStatus& status = at(alarm);
        if (configured(alarm))
            continue;
        // Nobody is told about a condition no longer watched; what still waits for an
        // acknowledgement stays.
        if (status.state == State::Pending || status.state == State::ActiveAcknowledged)
            status = AlarmStatus{};
        else if (status.state == State::Active)
            status.state = State::ClearedUnacknowledged;
    }
}

void AlarmRules::dropShortNoData() {
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        std::optional<int>& seconds =
            m_settings.channels.at(static_cast<size_t>(channel)).noDataSeconds;
        if (const auto error = noDataError(seconds, m_interval)) {
            m_dropped.push_back("[" + channelSection(channel) +
                                "] NoDataSeconds=" + std::to_string(*seconds) + ": " + *error);
            seconds.reset();
        }
    }
}

std::vector<std::string> AlarmRules::takeDropped() {
    return std::exchange(m_dropped, {});
}

bool AlarmRules::configured(int alarm) const {
    if (alarm == kBoardAlarm)
        return m_settings.boardLostSeconds.has_value() || m_settings.noReplySeconds.has_value();
    const ChannelAlarms& channel = m_settings.channels.at(static_cast<size_t>(channelOf(alarm)));
    switch (kindOf(alarm)) {
    case Kind::High:
        return channel.high.has_value();
    case Kind::Low:
        return channel.low.has_value();
    case Kind::NoData:
        return channel.noDataSeconds.has_value();
    case Kind::Board:
        break;
    }
    return false;
}

bool AlarmRules::needsAttention(int alarm) const {
    const State state = status(alarm).state;
    return state == State::Active || state == State::ActiveAcknowledged ||
           state == State::ClearedUnacknowledged;
}

int AlarmRules::attentionCount() const {
    int count = 0;
    for (int alarm = 0; alarm < kAlarmCount; ++alarm)
        count += needsAttention(alarm) ? 1 : 0;
    return count;
}

std::optional<int> AlarmRules::mostSevere() const {
    const auto rank = [this](int alarm) {
        const AlarmStatus& s = status(alarm);
        const int stateRank = s.state == State::Active                  ? 0
                              : s.state == State::ClearedUnacknowledged ? 1
                                                                        : 2;
        const int kindRank = kindOf(alarm) == Kind::Board    ? 0
                             : kindOf(alarm) == Kind::NoData ? 1
                                                             : 2;
        const std::int64_t since = s.since ? s.since->msSinceEpoch : 0;
        return std::tuple(stateRank, kindRank, since, alarm);
    };
    std::optional<int> best;
    for (int alarm = 0; alarm < kAlarmCount; ++alarm) {
        if (needsAttention(alarm) && (!best || rank(alarm) < rank(*best)))
            best = alarm;
    }
    return best;
}

void AlarmRules::raise(int alarm, const Moment& time, std::optional<double> value,
                       std::optional<double> limit, BoardCause cause,
                       std::vector<AlarmEvent>& events) {
    AlarmStatus& s = at(alarm);
    s.state = State::Active;
    s.since = time;
    s.acknowledged.reset();
    s.cleared.reset();
    s.worst = value;
    s.cause = cause;
    s.fromPreviousRun = false;
    s.pendingTicks = 0;
    events.push_back({alarm, EventType::Raised, time, value, limit, cause});
}

void AlarmRules::clear(int alarm, const Moment& time, std::optional<double> value,
                       std::optional<double> limit, std::vector<AlarmEvent>& events) {
    AlarmStatus& s = at(alarm);
    const BoardCause cause = s.cause;
    if (s.state == State::Active && m_settings.latch) {
        s.state = State::ClearedUnacknowledged;
        s.cleared = time;
    } else {
        s = AlarmStatus{};
    }
    events.push_back({alarm, EventType::Cleared, time, value, limit, cause});
}

void AlarmRules::evaluateLimit(int alarm, bool holds, bool clears, double value, double limit,
                               const Moment& time, std::vector<AlarmEvent>& events) {
    AlarmStatus& s = at(alarm);
    const Kind kind = kindOf(alarm);
    switch (s.state) {
    case State::Active:
    case State::ActiveAcknowledged:
        if (!s.worst || (kind == Kind::High ? value > *s.worst : value < *s.worst))
            s.worst = value;
        if (clears)
            clear(alarm, time, value, limit, events);
        return;
    case State::Normal:
    case State::Pending:
    case State::ClearedUnacknowledged:
        break;
    }
    if (!holds) {
        if (s.state == State::Pending)
            s = AlarmStatus{};
        s.pendingTicks = 0;
        return;
    }
    const int delay = m_settings.channels.at(static_cast<size_t>(channelOf(alarm))).delay;
    if (s.pendingTicks == 0 && s.state == State::Normal)
        s.since = time;
    ++s.pendingTicks;
    if (s.pendingTicks >= delay)
        raise(alarm, time, value, limit, BoardCause::None, events);
    else if (s.state == State::Normal)
        s.state = State::Pending;
}

void AlarmRules::evaluateTimeout(int alarm, std::optional<double> seconds, double limit,
                                 const Moment& time, BoardCause cause,
                                 std::vector<AlarmEvent>& events) {
    AlarmStatus& s = at(alarm);
    const bool raised = s.state == State::Active || s.state == State::ActiveAcknowledged;
    if (!seconds) {
        if (raised && s.cause == cause)
            clear(alarm, time, std::nullopt, limit, events);
        return;
    }
    if (raised) {
        s.worst = std::max(s.worst.value_or(0.0), *seconds);
        return;
    }
    if (*seconds >= limit)
        raise(alarm, time, seconds, limit, cause, events);
}

void AlarmRules::resetPending() {
    for (AlarmStatus& s : m_status) {
        if (s.state == State::Pending)
            s = AlarmStatus{};
        s.pendingTicks = 0;
    }
}

std::vector<AlarmEvent> AlarmRules::onTick(const SampleTick& tick) {
    std::vector<AlarmEvent> events;
    if (tick.intervalSeconds > 0 && tick.intervalSeconds != m_interval) {
        m_interval = tick.intervalSeconds;
        // Through setSettings, so an alarm no longer watched is treated as any other.
        setSettings(m_settings);
    }
    if (m_link != Link::OnLine)
        return events;
    const Moment time{tick.msSinceEpoch, tick.utcOffsetSeconds};
    for (int channel = 0; channel < kAlarmChannels; ++channel) {
        const ChannelTick& sample = tick.channels.at(static_cast<size_t>(channel));
        const ChannelAlarms& limits = m_settings.channels.at(static_cast<size_t>(channel));
        const int high = alarmIndex(channel, Kind::High);
        const int low = alarmIndex(channel, Kind::Low);
        if (sample.valid) {
            m_lastSample.at(static_cast<size_t>(channel)) = tick.msSinceEpoch;
            const double value = sample.filtered;
            if (limits.high)
                evaluateLimit(high, value > *limits.high, value < *limits.high - limits.hysteresis,
                              value, *limits.high, time, events);
            if (limits.low)
                evaluateLimit(low, value<*limits.low, value> * limits.low + limits.hysteresis,
                              value, *limits.low, time, events);
        } else {
            // A tick without a sample breaks the row a delay counts.
            for (const int alarm : {high, low}) {
                AlarmStatus& s = at(alarm);
                if (s.state == State::Pending)
                    s = AlarmStatus{};
                s.pendingTicks = 0;
            }
        }
        if (limits.noDataSeconds) {
            const double silent =
                static_cast<double>(tick.msSinceEpoch -
                                    m_lastSample.at(static_cast<size_t>(channel))) /
                1000.0;
            evaluateTimeout(alarmIndex(channel, Kind::NoData),
                            sample.valid ? std::nullopt : std::optional<double>(silent),
                            *limits.noDataSeconds, time, BoardCause::None, events);
        }
    }
    if (tick.replies > 0)
        m_lastReply = tick.msSinceEpoch;
    if (m_settings.noReplySeconds) {
        const double silent = static_cast<double>(tick.msSinceEpoch - m_lastReply) / 1000.0;
        evaluateTimeout(kBoardAlarm, tick.replies > 0 ? std::nullopt : std::optional(silent),
                        *m_settings.noReplySeconds, time, BoardCause::NoReply, events);
    }
    // Ticks come only from a board that is there: a lost board's alarm kept from the previous
    // run ends with the first one.
    if (status(kBoardAlarm).cause == BoardCause::Lost)
        evaluateTimeout(kBoardAlarm, std::nullopt,
                        static_cast<double>(m_settings.boardLostSeconds.value_or(0)), time,
                        BoardCause::Lost, events);
    return events;
}

std::vector<AlarmEvent> AlarmRules::onLink(const LinkEvent& event) {
    std::vector<AlarmEvent> events;
    const Moment time{event.msSinceEpoch, event.utcOffsetSeconds};
    switch (event.change) {
    case LinkChange::OnLine:
        m_link = Link::OnLine;
        m_lastSample.fill(event.msSinceEpoch);
        m_lastReply = event.msSinceEpoch;
        break;
    case LinkChange::OffLine:
        m_link = Link::OffLine;
        resetPending();
        break;
    case LinkChange::Lost:
        if (m_link == Link::OnLine) {
            m_link = Link::Lost;
            m_lostSince = event.msSinceEpoch;
            resetPending();
        }
        break;
    case LinkChange::Back:
        if (m_link == Link::Lost) {
            m_link = Link::OnLine;
            // Samples and replies are counted again from here; the time lost still counts as
            // time without a sample.
            m_lastReply = event.msSinceEpoch;
            const AlarmStatus& board = status(kBoardAlarm);
            if (board.cause == BoardCause::Lost &&
                (board.state == State::Active || board.state == State::ActiveAcknowledged))
                clear(kBoardAlarm, time, std::nullopt,
                      static_cast<double>(m_settings.boardLostSeconds.value_or(0)), events);
        }
        break;
    }
    return events;
}

std::vector<AlarmEvent> AlarmRules::onClock(Moment now) {
    std::vector<AlarmEvent> events;
    if (m_link != Link::Lost || !m_settings.boardLostSeconds)
        return events;
    const double lost = static_cast<double>(now.msSinceEpoch - m_lostSince) / 1000.0;
    AlarmStatus& board = at(kBoardAlarm);
    const bool raised = board.state == State::Active || board.state == State::ActiveAcknowledged;
    if (raised) {
        board.worst = std::max(board.worst.value_or(0.0), lost);
        return events;
    }
    if (lost >= *m_settings.boardLostSeconds)
        raise(kBoardAlarm, now, lost, *m_settings.boardLostSeconds, BoardCause::Lost, events);
    return events;
}

std::vector<AlarmEvent> AlarmRules::acknowledge(int alarm, Moment now) {
    std::vector<AlarmEvent> events;
    if (alarm < 0 || alarm >= kAlarmCount)
        return events;
    AlarmStatus& s = at(alarm);
    if (s.state == State::Active) {
        s.state = State::ActiveAcknowledged;
        s.acknowledged = now;
    } else if (s.state == State::ClearedUnacknowledged) {
        s = AlarmStatus{};
        s.acknowledged = now;
    } else {
        return events;
    }
    s.fromPreviousRun = false;
    events.push_back({alarm, EventType::Acknowledged, now, std::nullopt, std::nullopt, s.cause});
    return events;
}

std::vector<AlarmEvent> AlarmRules::acknowledgeAll(Moment now) {
    std::vector<AlarmEvent> events;
    for (int alarm = 0; alarm < kAlarmCount; ++alarm) {
        for (AlarmEvent& event : acknowledge(alarm, now))
            events.push_back(event);
    }
    return events;
}

std::vector<PersistedAlarm> AlarmRules::persisted() const {
    std::vector<PersistedAlarm> alarms;
    for (int alarm = 0; alarm < kAlarmCount; ++alarm) {
        const AlarmStatus& s = status(alarm);
        if (needsAttention(alarm))
            alarms.push_back({alarm, s});
    }
    return alarms;
}

void AlarmRules::restore(const std::vector<PersistedAlarm>& alarms) {
    for (const PersistedAlarm& kept : alarms) {
        if (kept.alarm < 0 || kept.alarm >= kAlarmCount || !configured(kept.alarm))
            continue;
        if (kept.status.state == State::Normal || kept.status.state == State::Pending)
            continue;
        AlarmStatus& s = at(kept.alarm);
        s = kept.status;
        s.pendingTicks = 0;
        s.fromPreviousRun = true;
    }
}

} // namespace thermavo::alarms

namespace thermavo::alarms {

namespace {

std::string momentText(const std::optional<Moment>& moment) {
    if (!moment)
        return ";";
    return std::to_string(moment->msSinceEpoch) + ";" + std::to_string(moment->utcOffsetSeconds);
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t end = line.find(';');
        parts.push_back(line.substr(0, end));
        if (end == std::string_view::npos)
            return parts;
        line.remove_prefix(end + 1);
    }
}

template <typename T> bool parseField(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Empty fields are none; anything else must parse.
bool parseMoment(std::string_view ms, std::string_view offset, std::optional<Moment>& moment) {
    if (ms.empty() && offset.empty())
        return true;
    Moment parsed;
    if (!parseField(ms, parsed.msSinceEpoch) || !parseField(offset, parsed.utcOffsetSeconds))
        return false;
    moment = parsed;
    return true;
}

} // namespace

std::string persistedText(const std::vector<PersistedAlarm>& alarms) {
    std::string text;
    for (const PersistedAlarm& kept : alarms) {
        const AlarmStatus& s = kept.status;
        text += std::to_string(kept.alarm) + ";" + std::to_string(static_cast<int>(s.state)) + ";" +
                momentText(s.since) + ";" + momentText(s.acknowledged) + ";" +
                momentText(s.cleared) + ";" + (s.worst ? numberText(*s.worst) : std::string()) +
                ";" + std::to_string(static_cast<int>(s.cause)) + "\n";
    }
    return text;
}

std::vector<PersistedAlarm> parsePersisted(std::string_view text) {
    std::vector<PersistedAlarm> alarms;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::vector<std::string_view> parts = fields(line);
        if (parts.size() != 10)
            continue;
        PersistedAlarm kept;
        int state = 0;
        int cause = 0;
        AlarmStatus& s = kept.status;
        if (!parseField(parts[0], kept.alarm) || kept.alarm < 0 || kept.alarm >= kAlarmCount ||
            !parseField(parts[1], state) || state < 0 ||
            state > static_cast<int>(State::ClearedUnacknowledged) ||
            !parseMoment(parts[2], parts[3], s.since) ||
            !parseMoment(parts[4], parts[5], s.acknowledged) ||
            !parseMoment(parts[6], parts[7], s.cleared) || !parseField(parts[9], cause) ||
            cause < 0 || cause > static_cast<int>(BoardCause::NoReply))
            continue;
        if (!parts[8].empty()) {
            s.worst = parseNumber(parts[8]);
            if (!s.worst)
                continue;
        }
        s.state = static_cast<State>(state);
        s.cause = static_cast<BoardCause>(cause);
        alarms.push_back(kept);
    }
    return alarms;
}

} // namespace thermavo::alarms
