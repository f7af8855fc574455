#pragma once

#include "measure/extendedprecision.h"

#include <array>
#include <cstdint>

namespace thermavo {

constexpr int kChannelCount = 8;
constexpr int kMarCapacity = 1000;

// Readings from the lowest to the highest, both included, are counted; others are only shown.
constexpr float kLowestReading = -45.0f;
constexpr float kHighestReading = 150.0f;

// One channel's accumulator, sample and filter state. All fields start at zero.
struct ChannelState {
    bool Valid = false; // the last tick produced a sample
    float Sum = 0.0f;   // accepted readings since the last tick (the last one without averaging)
    std::uint32_t Count = 0; // readings accepted since the last tick
    float Sample = 0.0f;     // the last tick's sample, 0.0 when it had none
    float Filtered = 0.0f;   // survives ticks without a sample and going on line again
    std::array<float, kMarCapacity> MarBuffer{}; // moving-average window, element 0 the newest
    float MarSum = 0.0f;                         // running sum of MarBuffer[0..MarSize-1]
    bool MarRestart = false;                     // the moving average starts afresh next step
    int MarSize = 0; // the window size MarBuffer and MarSum were built for
};

using Channels = std::array<ChannelState, kChannelCount>;

bool isAcceptedReading(float reading);

// Counts an accepted reading into the channel; a rejected one leaves it unchanged.
// The caller shows the reading as received either way, highlighted while Count > 0.
void storeReading(ChannelState& channel, float reading, bool averaging);

// Fresh accumulators for an on-line period; Sample, Filtered and the window carry over.
void startSampling(ChannelState& channel);
void startSampling(Channels& channels);

// Turns the interval's readings into the sample (Valid tells whether there was one) and
// empties the accumulator. Filtering is a separate step, only for channels with a sample.
void takeSample(ChannelState& channel);

} // namespace thermavo
