#pragma once

#include <array>

namespace thermavo {

// What a log record takes from one channel at a tick: whether it had a sample, and its
// filtered value.
struct LogChannel {
    bool valid = false;
    float filtered = 0.0f;
};

inline constexpr std::size_t kLogChannelCount = 8;
using LogChannels = std::array<LogChannel, kLogChannelCount>;

} // namespace thermavo
