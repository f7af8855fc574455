#pragma once

#include <array>
#include <cstdint>

namespace thermavo {

inline constexpr int kTickChannels = 8;

// One channel at a sample tick: whether it had a sample in the interval, the sample and the
// filtered value (the one the window shows, charts and logs). Without a sample, the two values
// are what the readouts still show and mean nothing.
struct ChannelTick {
    bool valid = false;
    float sample = 0.0f;
    float filtered = 0.0f;
};

// What the window publishes at each tick of the sample clock.
struct SampleTick {
    // The tick's time, in milliseconds since 1970 UTC, and the local time's offset from UTC then,
    // so that the night the clocks go back stays unambiguous.
    std::int64_t msSinceEpoch = 0;
    std::int32_t utcOffsetSeconds = 0;
    // The board list's row: 0 the 8-channel board, 1 and 2 the 4-channel boards.
    int boardRow = 0;
    // The sample clock's period.
    std::int32_t intervalSeconds = 0;
    // Replies the board sent since the previous tick (since going on line, for the first).
    std::int32_t replies = 0;
    std::array<ChannelTick, kTickChannels> channels{};
};

enum class LinkChange {
    // Switched on line by the user.
    OnLine,
    // Switched off line by the user (or the window closed), also while a lost board was tried.
    OffLine,
    // The board's port stopped working while on line; it is tried again until it is back.
    Lost,
    // A lost board is on line again.
    Back,
};

// What the window publishes at each change of the link.
struct LinkEvent {
    LinkChange change = LinkChange::OffLine;
    std::int64_t msSinceEpoch = 0;
    std::int32_t utcOffsetSeconds = 0;
    int boardRow = 0;
    int comNumber = 0;
};

// "on line", "off line", "lost", "back".
const char* linkChangeText(LinkChange change);

} // namespace thermavo
