#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace thermavo::alarms {

class AlarmRules;

// Plays the alarm sound once through the platform's own sound service.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    // Starts the sound and returns without waiting for it to end; gives the reason it could not
    // be played, or an empty text.
    virtual std::string play() = 0;
};

// Whether the alarm sound is wanted now: switched on, and some alarm of this run raised and not
// yet acknowledged (active, or cleared but still to be acknowledged). Alarms shown again from the
// previous run do not sound: nothing that did not change is announced again.
bool soundWanted(const AlarmRules& rules);

// When to play: at once when the sound becomes wanted or another alarm is raised, then again
// every repeat interval until it is no longer wanted.
class SoundRepeat {
public:
    static constexpr std::int64_t kDefaultEveryMs = 10'000;

    explicit SoundRepeat(std::int64_t everyMs = kDefaultEveryMs) : m_everyMs(everyMs) {}

    // Called after every change of the alarms (raised: one was raised in it) and on a clock while
    // sounding; true when the sound is to be played now.
    bool update(bool wanted, bool raised, std::int64_t nowMs);
    bool sounding() const { return m_last.has_value(); }
    std::int64_t everyMs() const { return m_everyMs; }

private:
    std::int64_t m_everyMs;
    // When it last played, while sounding.
    std::optional<std::int64_t> m_last;
};

} // namespace thermavo::alarms
