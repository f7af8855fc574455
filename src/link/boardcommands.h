#pragma once

#include <cstdint>
#include <exception>

namespace thermavo {

class ComPort;
class DataPacket;
class TDelayTimer;

// The board replies from its start command until its stop command. These send them, with the
// pauses the board and the port need around them, and arm or disarm the framer accordingly.
class BoardCommands {
public:
    static constexpr std::uint8_t kStart = 0x6D;
    static constexpr std::uint8_t kStop = 0x20;
    static constexpr std::uint32_t kBeforeOpenPauseMs = 100;
    static constexpr std::uint32_t kAfterStopPauseMs = 50;
    static constexpr std::uint32_t kAfterClosePauseMs = 100;
    static constexpr std::uint32_t kClosingPauseMs = 100;

    BoardCommands(ComPort& port, DataPacket& framer, TDelayTimer& delay)
        : m_port(port), m_framer(framer), m_delay(delay) {}

    // Opens the port afresh at `baud` and starts the board. Throws what opening or sending
    // throws.
    void start(int baud);
    // Starts the board again on the open port: a reply timed out, or a lost port opened again.
    void restart();
    // The user switched off line. Throws when the stop command cannot be sent; the port then stays
    // open.
    void stop();
    // The window closes or the session ends: the port is closed whatever the stop command did,
    // whose failure is returned. A session that ends closes at once, also under a reply handler
    // (a box nobody will click away), and does not wait after the close.
    enum class Release { Orderly, SessionEnd };
    std::exception_ptr release(Release how);

private:
    ComPort& m_port;
    DataPacket& m_framer;
    TDelayTimer& m_delay;
};

} // namespace thermavo
