#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace thermavo {

// Cuts replies out of the board's byte stream: LF starts a reply, CR ends it, and neither marker
// is part of the text. A reply that is started but not finished within 1000 ticks of 55 ms is
// given up. The framer never re-arms itself; whoever handles a reply or a time-out decides.
// Single-threaded: time comes in as a millisecond tick count that wraps at 2^32.
class ReplyFramer {
public:
    static constexpr char kStartMarker = '\n';
    static constexpr char kEndMarker = '\r';
    static constexpr std::uint32_t kTickMs = 55;
    static constexpr std::uint32_t kReplyTimeoutTicks = 1000;

    using ReplyHandler = std::function<void(std::string_view)>;
    using TimeoutHandler = std::function<void()>;

    // The handlers may call arm() and disarm(); an exception from one leaves the framer consistent
    // (the reply consumed, or the buffer discarded) and propagates to the caller.
    void setHandlers(ReplyHandler onReply, TimeoutHandler onTimeout);

    void arm();
    void disarm();
    bool isArmed() const { return m_armed; }
    bool isCollecting() const { return m_collecting; }

    // Checks the time-out at nowMs first, then examines the bytes one at a time.
    void receive(std::string_view bytes, std::uint32_t nowMs);
    // Expiry: the tick count exceeds the tick count at the start marker plus 1000.
    void checkTimeout(std::uint32_t nowMs);
    // Milliseconds from nowMs until checkTimeout would first give the reply up (0 when it is
    // already due); only meaningful while collecting.
    std::uint32_t msUntilTimeout(std::uint32_t nowMs) const;
    // Stops the timer and discards the buffer; the armed setting is kept.
    void portClosed();

private:
    void examine(std::uint32_t nowMs);
    void discardUnlessCollecting();
    void releaseBuffer();

    ReplyHandler m_onReply;
    TimeoutHandler m_onTimeout;
    bool m_armed = false;
    bool m_collecting = false;
    std::string m_buffer;
    std::size_t m_examined = 0;
    std::size_t m_replyStart = 0;
    std::uint32_t m_startMs = 0;
};

} // namespace thermavo
