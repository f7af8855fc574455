#include "link/delaytimer.h"

#include <chrono>
#include <thread>
#include <utility>

namespace thermavo {

std::uint32_t systemTickCount() {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

TDelayTimer::TDelayTimer(std::function<std::uint32_t()> tickCount, std::function<void()> pause)
    : m_tickCount(std::move(tickCount)), m_pause(std::move(pause)) {}

void TDelayTimer::pauseOneMillisecond() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TDelayTimer::Delay(std::uint32_t ms) {
    if (ms == 0)
        return;
    m_start = m_tickCount();
    m_length = ms;
    if (m_busy)
        return;
    m_busy = true;
    struct ClearBusy {
        bool& busy;
        ~ClearBusy() { busy = false; }
    } clearBusy{m_busy};
    // Unsigned difference: the elapsed time stays right when the count wraps during the wait.
    while (static_cast<std::uint32_t>(m_tickCount() - m_start) < m_length) {
        if (OnIdle)
            OnIdle();
        if (m_pause)
            m_pause();
    }
}

} // namespace thermavo
