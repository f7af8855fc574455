#include "alarms/alarmsound.h"

#include "alarms/alarmrules.h"

namespace thermavo::alarms {

bool soundWanted(const AlarmRules& rules) {
    if (!rules.settings().sound)
        return false;
    for (int alarm = 0; alarm < kAlarmCount; ++alarm) {
        const AlarmStatus& status = rules.status(alarm);
        if ((status.state == State::Active || status.state == State::ClearedUnacknowledged) &&
            !status.fromPreviousRun)
            return true;
    }
    return false;
}

bool SoundRepeat::update(bool wanted, bool raised, std::int64_t nowMs) {
    if (!wanted) {
        m_last.reset();
        return false;
    }
    // A clock set back would otherwise hold the sound off for as long as it went back.
    if (!m_last || raised || nowMs - *m_last >= m_everyMs || nowMs < *m_last) {
        m_last = nowMs;
        return true;
    }
    return false;
}

} // namespace thermavo::alarms
