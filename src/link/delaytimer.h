#pragma once

#include <cstdint>
#include <functional>

namespace thermavo {

// The system's millisecond tick count; wraps at 2^32.
std::uint32_t systemTickCount();

// A busy wait on the calling thread. It processes no events: the thread is occupied for the whole
// wait, though it yields the processor between readings of the clock.
class TDelayTimer {
public:
    explicit TDelayTimer(std::function<std::uint32_t()> tickCount = systemTickCount,
                         std::function<void()> pause = pauseOneMillisecond);

    // Returns no earlier than ms milliseconds later, also across a wrap of the tick count. Called
    // again from OnIdle while a wait runs, it moves that wait's deadline to now + ms and returns.
    void Delay(std::uint32_t ms);
    bool Busy() const { return m_busy; }

    std::function<void()> OnIdle;

    static void pauseOneMillisecond();

private:
    std::function<std::uint32_t()> m_tickCount;
    std::function<void()> m_pause;
    bool m_busy = false;
    std::uint32_t m_start = 0;
    std::uint32_t m_length = 0;
};

} // namespace thermavo
