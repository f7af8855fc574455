#include "app/features.h"

#include "alarms/alarmfeature.h"
#include "alarms/historyoverlay.h"
#include "history/historyfeature.h"
#include "publish/publishfeature.h"
#include "publish/publishrules.h"

#include <cmath>
#include <limits>

namespace thermavo {

namespace {

// What a channel's alarms amount to on the broker: the raised one of its high, low and no-data
// alarms (high first), or normal.
AlarmLevel channelLevel(const alarms::AlarmRules& rules, int channel) {
    const auto raised = [&](alarms::Kind kind) {
        const alarms::State state = rules.status(alarms::alarmIndex(channel, kind)).state;
        return state == alarms::State::Active || state == alarms::State::ActiveAcknowledged;
    };
    if (raised(alarms::Kind::High))
        return AlarmLevel::High;
    if (raised(alarms::Kind::Low))
        return AlarmLevel::Low;
    if (raised(alarms::Kind::NoData))
        return AlarmLevel::NoData;
    return AlarmLevel::Normal;
}

float celsiusOrNone(const std::optional<double>& value) {
    return value ? static_cast<float>(*value) : std::numeric_limits<float>::quiet_NaN();
}

} // namespace

Features::Features(const FeatureHost& host, QObject* parent)
    : QObject(parent), m_history(std::make_unique<HistoryFeature>(host)),
      m_alarms(std::make_unique<alarms::AlarmFeature>(host)),
      m_publish(std::make_unique<PublishFeature>(host)), m_window(host.window) {
    // Every alarm event reaches the broker, and with it the level of the alarm's channel.
    connect(m_alarms.get(), &alarms::AlarmFeature::alarmEvent, this,
            [this](const alarms::AlarmEvent& event) { publishAlarm(event); });
    // The alarms drawn over the history window, which owns them.
    connect(m_history.get(), &HistoryFeature::windowCreated, this,
            [this](HistoryWindow& window) { new alarms::HistoryOverlay(window, *m_alarms); });
}

void Features::publishAlarm(const alarms::AlarmEvent& event) {
    const alarms::AlarmRules& rules = m_alarms->rules();
    const int channel = alarms::channelOf(event.alarm);
    const alarms::Kind kind = alarms::kindOf(event.alarm);
    AlarmEvent message;
    message.channel = channel;
    message.level = channel < 0 ? AlarmLevel::Normal : channelLevel(rules, channel);
    const bool celsius = kind == alarms::Kind::High || kind == alarms::Kind::Low;
    message.celsius =
        celsius ? celsiusOrNone(event.value) : std::numeric_limits<float>::quiet_NaN();
    message.limit = celsius ? celsiusOrNone(event.limit) : std::numeric_limits<float>::quiet_NaN();
    message.msSinceEpoch = event.time.msSinceEpoch;
    message.utcOffsetSeconds = event.time.utcOffsetSeconds;
    message.kind = alarms::kindText(kind);
    message.event = alarms::eventText(event.type);
    if (channel >= 0)
        message.name = rules.settings().channels[static_cast<std::size_t>(channel)].name;
    m_publish->publishAlarmEvent(message);
    if (channel >= 0)
        m_publish->publishAlarmState(channel, message.level);
}

Features::~Features() = default;

void Features::windowClosing() {
    m_history->closeWindow();
    m_alarms->closeWindow();
    m_publish->closeWindow();
    // What the broker is still owed may take a moment to send; the window is gone meanwhile.
    if (m_window != nullptr)
        m_window->hide();
    m_publish->finish();
}

} // namespace thermavo
