#pragma once

#include "boardreply.h"
#include "channelcontrol.h"
#include "temperaturedrift.h"

#include <cstdint>
#include <random>
#include <string>

namespace thermavo {

constexpr std::uint8_t kStartCommand = 0x6D;
constexpr std::uint8_t kStopCommand = 0x20;

// Bytes per second on the line at 10 bits per byte (start, 8 data, stop).
constexpr double kEightChannelLineBytesPerSecond = 57600.0 / 10.0;
constexpr double kFourChannelLineBytesPerSecond = 9600.0 / 10.0;

struct BoardSettings {
    BoardKind kind = BoardKind::EightChannel;
    bool longFormat = false;
    double repliesPerSecond = 2.0;
    bool lineRate = false; // back to back at the line's byte rate instead of repliesPerSecond
    Faults faults;
};

// What the board does with the bytes it receives and when it replies. Times are nanoseconds on
// a monotonic clock the caller reads, so the board itself never looks at a clock.
class Board {
public:
    enum class Response { Started, Stopped, StartIgnored, Ignored };

    Board(BoardSettings settings, std::uint32_t seed, std::int64_t switchedOnNs);

    Response receive(std::uint8_t byte, std::int64_t nowNs);

    bool running() const { return m_running; }
    // While running: when the next reply is due.
    std::int64_t nextReplyNs() const { return m_nextReplyNs; }

    // The bytes of the reply that is due, as one UART burst; schedules the next reply.
    std::string takeReply(std::int64_t nowNs);

    std::uint64_t repliesMade() const { return m_replies; }
    // A command of ChannelControl's; gives the error in words, or an empty text.
    std::string command(std::string_view line, std::int64_t nowNs);

private:
    bool faultDue(std::uint64_t count) const;
    std::int64_t transmitNs(std::size_t bytes) const;

    BoardSettings m_settings;
    TemperatureDrift m_drift;
    ChannelControl m_control;
    // The temperatures of the last reply, where a ramp starts from.
    std::vector<double> m_lastCelsius;
    std::mt19937 m_random;
    std::int64_t m_switchedOnNs = 0;
    std::int64_t m_periodNs = 0;
    bool m_running = false;
    std::int64_t m_nextReplyNs = 0;
    std::uint64_t m_replies = 0;
    std::uint64_t m_starts = 0;
};

} // namespace thermavo
