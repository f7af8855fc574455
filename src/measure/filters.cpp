#include "measure/filters.h"

#include <algorithm>
#include <cmath>

namespace thermavo {

namespace {

void restartMovingAverage(ChannelState& channel, int size) {
    std::fill_n(channel.MarBuffer.begin(), size, channel.Sample);
    channel.MarSum = static_cast<float>(static_cast<long double>(size) * channel.Sample);
    channel.Filtered = channel.Sample;
    channel.MarRestart = false;
    channel.MarSize = size;
}

void applyMovingAverage(ChannelState& channel, int size) {
    if (size < 2 || size > kMarCapacity) {
        channel.Filtered = channel.Sample;
        return;
    }
    // A changed size would leave MarSum the sum of a different window, or read slots that
    // were never filled, so the window is rebuilt just as at the start of a period.
    if (channel.MarRestart || size != channel.MarSize) {
        restartMovingAverage(channel, size);
        return;
    }
    auto& buffer = channel.MarBuffer;
    const auto oldest = static_cast<std::size_t>(size - 1);
    channel.MarSum = static_cast<float>(static_cast<long double>(channel.MarSum) - buffer[oldest]);
    std::copy_backward(buffer.begin(), buffer.begin() + oldest, buffer.begin() + size);
    buffer[0] = channel.Sample;
    channel.MarSum = static_cast<float>(static_cast<long double>(channel.MarSum) + channel.Sample);
    channel.Filtered = static_cast<float>(static_cast<long double>(channel.MarSum) /
                                          static_cast<long double>(size));
}

long double heldLowPassAmount(double amount) {
    if (std::isnan(amount))
        return kLowestLowPassAmount;
    return std::clamp<long double>(amount, kLowestLowPassAmount, kHighestLowPassAmount);
}

void applyLowPass(ChannelState& channel, double amount) {
    const long double filtered = channel.Filtered;
    const long double difference = static_cast<long double>(channel.Sample) - filtered;
    if (std::fabs(difference) > kLowPassJump) {
        channel.Filtered = channel.Sample;
        return;
    }
    const long double weighted = difference * (100.0L - heldLowPassAmount(amount));
    channel.Filtered = static_cast<float>(weighted / 100.0L + filtered);
}

} // namespace

void applyFilter(ChannelState& channel, const FilterSettings& settings) {
    switch (static_cast<FilterKind>(settings.kind)) {
    case FilterKind::MovingAverage:
        applyMovingAverage(channel, settings.movingAverageSize);
        break;
    case FilterKind::LowPass:
        applyLowPass(channel, settings.lowPassAmount);
        break;
    default:
        // No filtering, and also the row-less list, so the readouts never show stale values.
        channel.Filtered = channel.Sample;
        break;
    }
}

void sampleChannels(Channels& channels, const FilterSettings& settings) {
    for (ChannelState& channel : channels) {
        takeSample(channel);
        if (channel.Valid)
            applyFilter(channel, settings);
    }
}

} // namespace thermavo
