#pragma once

#include "measure/channelstate.h"

namespace thermavo {

// The filter list's rows.
enum class FilterKind { None = 0, MovingAverage = 1, LowPass = 2 };

// The low-pass slider's range; the amount is how much of the old value is kept, in percent.
constexpr int kLowestLowPassAmount = 1;
constexpr int kHighestLowPassAmount = 99;
// A sample further than this from the filtered value is let through at once.
constexpr long double kLowPassJump = 1.0L;

// The filter controls as read at each tick. kind is the filter list's row.
struct FilterSettings {
    int kind = 0;
    int movingAverageSize = 1;
    double lowPassAmount = 1.0;
};

// Updates Filtered (and the moving-average window) from Sample. Call it only for a channel
// that has a sample at this tick. A kind outside the list filters like FilterKind::None; a
// moving-average size below 2 or above kMarCapacity passes the sample through; a low-pass amount
// outside 1..99 is held to that range.
void applyFilter(ChannelState& channel, const FilterSettings& settings);

// The per-channel part of a sample tick: sample every channel, filter those with a sample.
void sampleChannels(Channels& channels, const FilterSettings& settings);

} // namespace thermavo
