#pragma once

#include <cstdint>

namespace thermavo {

// When the window repaints: about 20 times a second, in step with the board's replies, which
// reach the window in batches about every 50 ms. A repaint between two batches would wake the
// window thread once more, so while replies arrive, whatever has to wait (a batch that comes too
// soon after the last repaint, the clock, a sample) waits for the next batch, or a little longer
// if none comes. Times are milliseconds of one steady clock.
class RepaintPacer {
public:
    static constexpr std::int64_t kPeriodMs = 50;
    // A batch this much early for the period is painted at once.
    static constexpr std::int64_t kEarlinessMs = 10;

    // A reply has changed what the window shows.
    void replyShown(std::int64_t nowMs);
    // Asked for a repaint at nowMs: 0 to paint now, which counts as painted, otherwise how long
    // to wait before asking again.
    std::int64_t waitBeforePainting(std::int64_t nowMs);

private:
    bool m_painted = false;
    std::int64_t m_lastPaintMs = 0;
    bool m_replied = false;
    std::int64_t m_lastReplyMs = 0;
    bool m_replyShownSincePaint = false;
};

} // namespace thermavo
