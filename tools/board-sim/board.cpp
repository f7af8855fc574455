#include "board.h"

#include <algorithm>
#include <cmath>

namespace thermavo {

namespace {

constexpr double kNanosecondsPerSecond = 1e9;
// After a longer stall (process stopped, nobody reading) the board resumes at the current time
// instead of sending the missed replies in one burst.
constexpr std::int64_t kLongestCatchUpNs = 1'000'000'000;

} // namespace

Board::Board(BoardSettings settings, std::uint32_t seed, std::int64_t switchedOnNs)
    : m_settings(std::move(settings)), m_drift(channelCount(m_settings.kind), seed),
      m_control(channelCount(m_settings.kind)), m_random(seed ^ 0x9E3779B9u),
      m_switchedOnNs(switchedOnNs), m_periodNs(static_cast<std::int64_t>(std::llround(
                                        kNanosecondsPerSecond / m_settings.repliesPerSecond))) {}

bool Board::faultDue(std::uint64_t count) const {
    const auto every = static_cast<std::uint64_t>(std::max(1, m_settings.faults.every));
    return count % every == 0;
}

std::int64_t Board::transmitNs(std::size_t bytes) const {
    const double rate = m_settings.kind == BoardKind::EightChannel ? kEightChannelLineBytesPerSecond
                                                                   : kFourChannelLineBytesPerSecond;
    return static_cast<std::int64_t>(std::llround(double(bytes) * kNanosecondsPerSecond / rate));
}

Board::Response Board::receive(std::uint8_t byte, std::int64_t nowNs) {
    if (byte == kStopCommand) {
        m_running = false;
        return Response::Stopped;
    }
    if (byte != kStartCommand)
        return Response::Ignored;
    ++m_starts;
    if (m_settings.faults.mute && faultDue(m_starts))
        return Response::StartIgnored;
    // A start while running restarts the measurement cycle.
    m_running = true;
    m_nextReplyNs = m_settings.lineRate ? nowNs : nowNs + m_periodNs;
    return Response::Started;
}

std::string Board::command(std::string_view line, std::int64_t nowNs) {
    const double seconds = double(nowNs - m_switchedOnNs) / kNanosecondsPerSecond;
    return m_control.command(line, seconds, m_lastCelsius);
}

std::string Board::takeReply(std::int64_t nowNs) {
    ++m_replies;
    const Faults none;
    const Faults& faults = faultDue(m_replies) ? m_settings.faults : none;
    const double seconds = double(nowNs - m_switchedOnNs) / kNanosecondsPerSecond;
    m_lastCelsius = m_control.apply(m_drift.at(seconds), seconds);
    const std::vector<ChannelValue> channels =
        faultedChannels(m_lastCelsius, faults, m_settings.kind, m_random);
    const std::string prefix = faults.garbage ? garbageBytes(m_random) : std::string();
    std::string bytes = frameReply(
        prefix, replyText(m_settings.kind, m_settings.longFormat, channels), !faults.noEnd);

    m_nextReplyNs += m_settings.lineRate ? transmitNs(bytes.size()) : m_periodNs;
    if (m_nextReplyNs < nowNs - kLongestCatchUpNs)
        m_nextReplyNs = nowNs;
    return bytes;
}

} // namespace thermavo
