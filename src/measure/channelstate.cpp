#include "measure/channelstate.h"

namespace thermavo {

bool isAcceptedReading(float reading) {
    // Written so that NaN, which fails every comparison, is rejected.
    return reading >= kLowestReading && reading <= kHighestReading;
}

void storeReading(ChannelState& channel, float reading, bool averaging) {
    if (!isAcceptedReading(reading))
        return;
    if (averaging) {
        channel.Sum = static_cast<float>(static_cast<long double>(channel.Sum) + reading);
        ++channel.Count;
    } else {
        channel.Sum = reading;
        channel.Count = 1;
    }
}

void startSampling(ChannelState& channel) {
    channel.Valid = false;
    channel.Sum = 0.0f;
    channel.Count = 0;
    channel.MarRestart = true;
}

void startSampling(Channels& channels) {
    for (ChannelState& channel : channels)
        startSampling(channel);
}

void takeSample(ChannelState& channel) {
    if (channel.Count > 0) {
        channel.Sample = static_cast<float>(static_cast<long double>(channel.Sum) /
                                            static_cast<long double>(channel.Count));
        channel.Valid = true;
    } else {
        channel.Valid = false;
        channel.Sample = 0.0f;
    }
    channel.Count = 0;
    channel.Sum = 0.0f;
}

} // namespace thermavo
