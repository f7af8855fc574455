#include "link/replyframer.h"

#include <cstring>
#include <utility>

namespace thermavo {

void ReplyFramer::setHandlers(ReplyHandler onReply, TimeoutHandler onTimeout) {
    m_onReply = std::move(onReply);
    m_onTimeout = std::move(onTimeout);
}

void ReplyFramer::arm() {
    if (m_armed)
        return;
    m_armed = true;
    m_collecting = false;
}

void ReplyFramer::disarm() {
    m_armed = false;
    m_collecting = false;
}

void ReplyFramer::receive(std::string_view bytes, std::uint32_t nowMs) {
    checkTimeout(nowMs);
    if (!m_armed) {
        discardUnlessCollecting();
        return;
    }
    m_buffer.append(bytes);
    // Also when a handler throws: the rest of this arrival is then judged like any other.
    struct Settle {
        ReplyFramer& framer;
        ~Settle() { framer.discardUnlessCollecting(); }
    } settle{*this};
    examine(nowMs);
}

void ReplyFramer::examine(std::uint32_t nowMs) {
    while (m_armed && m_examined < m_buffer.size()) {
        const char* const data = m_buffer.data();
        const std::size_t rest = m_buffer.size() - m_examined;
        if (!m_collecting) {
            const void* found = std::memchr(data + m_examined, kStartMarker, rest);
            if (found == nullptr) {
                m_examined = m_buffer.size();
                break;
            }
            m_replyStart = static_cast<std::size_t>(static_cast<const char*>(found) - data);
            m_examined = m_replyStart + 1;
            m_collecting = true;
            m_startMs = nowMs;
            continue;
        }
        const void* found = std::memchr(data + m_examined, kEndMarker, rest);
        if (found == nullptr) {
            m_examined = m_buffer.size();
            break;
        }
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        m_collecting = false;
        m_armed = false;
        // Consumed before the handler runs so that an exception from it cannot deliver the reply
        // twice; the text stays valid because arm() and disarm() never touch the buffer.
        m_examined = end + 1;
        if (m_onReply)
            m_onReply(std::string_view(data + m_replyStart + 1, end - m_replyStart - 1));
    }
}

void ReplyFramer::discardUnlessCollecting() {
    if (!m_collecting) {
        m_buffer.clear();
        m_examined = 0;
        return;
    }
    if (m_replyStart > 0) {
        m_buffer.erase(0, m_replyStart);
        m_examined -= m_replyStart;
        m_replyStart = 0;
    }
}

void ReplyFramer::checkTimeout(std::uint32_t nowMs) {
    if (!m_collecting)
        return;
    // Ticks are whole 55 ms steps of the wrapping clock; counting from the start's phase inside
    // its tick keeps "now ticks > start ticks + 1000" right across the wrap.
    const std::uint64_t phase = m_startMs % kTickMs;
    const std::uint64_t elapsedTicks =
        (phase + static_cast<std::uint32_t>(nowMs - m_startMs)) / kTickMs;
    if (elapsedTicks <= kReplyTimeoutTicks)
        return;
    m_collecting = false;
    m_armed = false;
    releaseBuffer();
    if (m_onTimeout)
        m_onTimeout();
}

std::uint32_t ReplyFramer::msUntilTimeout(std::uint32_t nowMs) const {
    // The first moment whose tick count exceeds the start's plus 1000, counted as checkTimeout
    // counts.
    const std::uint32_t dueAfter = (kReplyTimeoutTicks + 1) * kTickMs - m_startMs % kTickMs;
    const std::uint32_t elapsed = nowMs - m_startMs;
    return elapsed >= dueAfter ? 0 : dueAfter - elapsed;
}

void ReplyFramer::portClosed() {
    m_collecting = false;
    releaseBuffer();
}

// An endless reply may have grown the buffer to megabytes; clear() alone would keep them.
void ReplyFramer::releaseBuffer() {
    std::string().swap(m_buffer);
    m_examined = 0;
    m_replyStart = 0;
}

} // namespace thermavo
