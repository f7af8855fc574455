// The reply framer driven by a script read from the input: arrivals of bytes, arming and
// disarming, a clock that advances in small steps, around the 55 s limit and across the 32-bit
// wrap, time-out checks and port closes. A plain reference model reads the same stream; every
// reply the framer delivers must be the one the model cuts out between an LF and the next CR,
// delivered only while armed, never holding a CR, and time-outs must come only while a reply is
// being collected and only once its 55 s are up.
#include "fuzzcheck.h"
#include "link/replyframer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace thermavo {
namespace {

// A time-out needs the tick count (55 ms ticks) to exceed the start's plus 1000: never at
// 55 000 ms or less after the LF, always from 55 055 ms on; in between it depends on where in
// its tick the LF fell.
constexpr std::uint64_t kNeverBeforeMs = 55000;
constexpr std::uint64_t kAlwaysFromMs = 55055;
// The link checks the clock every 50 ms; the script may let far more pass, but never so much
// that the wrapping 32-bit difference could no longer tell how long a reply has run.
constexpr std::uint64_t kMaxUncheckedMs = 1ULL << 30;

// What the framer should do, read byte by byte with no cleverness.
struct Model {
    bool armed = false;
    bool collecting = false;
    std::string reply;
    std::uint64_t startMs = 0;
    std::vector<std::string> delivered;

    void arm() {
        if (!armed) {
            armed = true;
            collecting = false;
            reply.clear();
        }
    }
    void disarm() {
        armed = false;
        collecting = false;
        reply.clear();
    }
    void receive(std::string_view bytes, std::uint64_t nowMs, bool rearm) {
        for (const char byte : bytes) {
            if (!armed) {
                continue;
            }
            if (!collecting) {
                if (byte == '\n') {
                    collecting = true;
                    startMs = nowMs;
                    reply.clear();
                }
                continue;
            }
            if (byte != '\r') {
                reply += byte;
                continue;
            }
            delivered.push_back(reply);
            disarm();
            if (rearm) {
                arm();
            }
        }
    }
};

class Harness {
public:
    explicit Harness(std::uint64_t startMs) : m_nowMs(startMs) {
        m_framer.setHandlers(
            [this](std::string_view text) {
                require(text.find('\r') == std::string_view::npos, "a reply never holds CR");
                require(!m_framer.isArmed() && !m_framer.isCollecting(),
                        "the framer is disarmed when it delivers a reply");
                m_replies.emplace_back(text);
                if (m_rearmOnReply) {
                    m_framer.arm();
                }
            },
            [this] {
                require(!m_framer.isArmed() && !m_framer.isCollecting(),
                        "the framer is disarmed when it times out");
                ++m_timeouts;
                if (m_rearmOnTimeout) {
                    m_framer.arm();
                }
            });
    }

    void arm() {
        m_framer.arm();
        m_model.arm();
        agree();
    }
    void disarm() {
        m_framer.disarm();
        m_model.disarm();
        agree();
    }
    void portClosed() {
        m_framer.portClosed();
        m_model.collecting = false;
        m_model.reply.clear();
        agree();
    }
    void toggleRearmOnReply() { m_rearmOnReply = !m_rearmOnReply; }
    void toggleRearmOnTimeout() { m_rearmOnTimeout = !m_rearmOnTimeout; }

    void receive(std::string_view bytes) {
        m_replies.clear();
        m_timeouts = 0;
        m_framer.receive(bytes, clock());
        judgeTimeout();
        m_model.delivered.clear();
        m_model.receive(bytes, m_nowMs, m_rearmOnReply);
        require(m_replies == m_model.delivered,
                "the replies are the texts between an LF and the next CR");
        agree();
    }
    // The deadline the port's timer is set to: a check a millisecond before it gives nothing up,
    // a check at it gives the reply up. Tried on copies, so the run goes on undisturbed.
    void checkDeadline() const {
        if (!m_framer.isCollecting()) {
            return;
        }
        const auto now = static_cast<std::uint32_t>(m_nowMs);
        const std::uint32_t due = m_framer.msUntilTimeout(now);
        require(due <= kAlwaysFromMs, "the deadline is never more than 55 s and a tick away");
        bool givenUp = false;
        ReplyFramer early = m_framer;
        early.setHandlers([](std::string_view) {}, [&givenUp] { givenUp = true; });
        if (due > 0) {
            early.checkTimeout(now + due - 1);
            require(!givenUp, "no time-out before the deadline");
        }
        ReplyFramer atDeadline = m_framer;
        atDeadline.setHandlers([](std::string_view) {}, [&givenUp] { givenUp = true; });
        atDeadline.checkTimeout(now + due);
        require(givenUp, "the time-out at the deadline");
    }

    void checkTimeout() {
        m_replies.clear();
        m_timeouts = 0;
        m_framer.checkTimeout(clock());
        require(m_replies.empty(), "a time-out check delivers no reply");
        judgeTimeout();
        agree();
    }

    void advance(std::uint64_t deltaMs) {
        while (deltaMs > 0) {
            if (m_uncheckedMs == kMaxUncheckedMs) {
                checkTimeout();
            }
            const std::uint64_t step = std::min(deltaMs, kMaxUncheckedMs - m_uncheckedMs);
            m_nowMs += step;
            m_uncheckedMs += step;
            deltaMs -= step;
        }
    }
    std::uint64_t now() const { return m_nowMs; }

private:
    std::uint32_t clock() {
        m_uncheckedMs = 0;
        return static_cast<std::uint32_t>(m_nowMs);
    }

    // A check happened at m_nowMs (the framer checks first, before any byte of an arrival).
    void judgeTimeout() {
        require(m_timeouts <= 1, "at most one time-out per check");
        const std::uint64_t elapsed = m_nowMs - m_model.startMs;
        if (m_timeouts == 0) {
            require(!(m_model.collecting && elapsed >= kAlwaysFromMs),
                    "a reply collected for 55 s and one tick times out");
            return;
        }
        require(m_model.collecting, "no time-out unless a reply is being collected");
        require(elapsed > kNeverBeforeMs, "no time-out within 55 s of the LF");
        m_model.disarm();
        if (m_rearmOnTimeout) {
            m_model.arm();
        }
    }

    void agree() const {
        require(m_framer.isArmed() == m_model.armed, "armed as the model says");
        require(m_framer.isCollecting() == m_model.collecting, "collecting as the model says");
    }

    ReplyFramer m_framer;
    Model m_model;
    std::uint64_t m_nowMs;
    std::uint64_t m_uncheckedMs = 0;
    bool m_rearmOnReply = true;
    bool m_rearmOnTimeout = true;
    std::vector<std::string> m_replies;
    int m_timeouts = 0;
};

// Reads the script: one opcode byte, then its operands.
class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool done() const { return m_at >= m_size; }
    std::uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::uint64_t number(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        }
        return value;
    }
    std::string_view chunk(std::size_t length) {
        const std::size_t take = std::min(length, m_size - std::min(m_at, m_size));
        const std::string_view bytes(reinterpret_cast<const char*>(m_data + m_at), take);
        m_at += take;
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

enum Op : std::uint8_t {
    ReceiveShort, // length byte (0-63), then the bytes
    ReceiveLong,  // two length bytes, then the bytes
    Arm,
    Disarm,
    Advance, // kind byte, then the operand of that kind
    CheckTimeout,
    PortClosed,
    Toggle, // which byte: rearm on reply or on time-out
    OpCount
};

constexpr std::uint64_t kWrap = 1ULL << 32;

void advance(Harness& harness, Script& script) {
    switch (script.byte() % 4) {
    case 0: // up to a minute, to the millisecond
        harness.advance(script.number(2));
        break;
    case 1: // within ±127 ms of the 55 s limit
        harness.advance(kNeverBeforeMs + 128 - script.byte());
        break;
    case 2: { // to just before the 32-bit clock wraps
        const std::uint64_t target = kWrap - 1 - script.byte() * 8ULL;
        harness.advance((target - harness.now() % kWrap + kWrap) % kWrap);
        break;
    }
    default: // anything the 32-bit clock can show
        harness.advance(script.number(4));
        break;
    }
}

} // namespace
} // namespace thermavo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace thermavo;
    Script script(data, size);
    // The clock starts anywhere in its 32-bit range, the wrap included.
    Harness harness(script.number(4));
    while (!script.done()) {
        switch (script.byte() % OpCount) {
        case ReceiveShort:
            harness.receive(script.chunk(script.byte() % 64));
            break;
        case ReceiveLong:
            harness.receive(script.chunk(script.number(2)));
            break;
        case Arm:
            harness.arm();
            break;
        case Disarm:
            harness.disarm();
            break;
        case Advance:
            advance(harness, script);
            break;
        case CheckTimeout:
            harness.checkDeadline();
            harness.checkTimeout();
            break;
        case PortClosed:
            harness.portClosed();
            break;
        default:
            if (script.byte() % 2 == 0) {
                harness.toggleRearmOnReply();
            } else {
                harness.toggleRearmOnTimeout();
            }
            break;
        }
    }
    return 0;
}
