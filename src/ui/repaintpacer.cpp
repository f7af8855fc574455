#include "ui/repaintpacer.h"

namespace thermavo {

void RepaintPacer::replyShown(std::int64_t nowMs) {
    m_replied = true;
    m_lastReplyMs = nowMs;
    m_replyShownSincePaint = true;
}

std::int64_t RepaintPacer::waitBeforePainting(std::int64_t nowMs) {
    const std::int64_t sincePaint = m_painted ? nowMs - m_lastPaintMs : kPeriodMs;
    const std::int64_t sinceReply = m_replied ? nowMs - m_lastReplyMs : kPeriodMs;
    const bool tooSoon = sincePaint < kPeriodMs - kEarlinessMs;
    if ((tooSoon || !m_replyShownSincePaint) && sinceReply < kPeriodMs)
        return kPeriodMs + kEarlinessMs - sinceReply;
    if (tooSoon)
        return kPeriodMs - sincePaint;
    m_painted = true;
    m_lastPaintMs = nowMs;
    m_replyShownSincePaint = false;
    return 0;
}

} // namespace thermavo
