#include "measure/channelstate.h"
#include "measure/decode.h"
#include "measure/filters.h"

#include <benchmark/benchmark.h>
#include <string>

namespace {

using namespace thermavo;

std::string eightChannelText(std::size_t stride, const std::string& first,
                             const std::string& second) {
    std::string text;
    for (int k = 0; k < kEightChannelReadings; ++k) {
        text += first + ' ' + second;
        text.resize(text.size() + stride - first.size() - second.size() - 1, ' ');
    }
    return text;
}

void decodeText(benchmark::State& state, BoardKind kind, const std::string& text) {
    for (auto _ : state) {
        DecodedReply reply = decodeReply(kind, text);
        benchmark::DoNotOptimize(reply);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DecodeShortReply(benchmark::State& state) {
    std::string text = eightChannelText(kShortChannelStride, "2000", "4000");
    text.pop_back();
    decodeText(state, BoardKind::EightChannel, text);
}
BENCHMARK(BM_DecodeShortReply);

void BM_DecodeLongReply(benchmark::State& state) {
    decodeText(state, BoardKind::EightChannel,
               eightChannelText(kLongChannelStride, "002000", "004000"));
}
BENCHMARK(BM_DecodeLongReply);

void BM_DecodeFourChannelReply(benchmark::State& state) {
    decodeText(state, BoardKind::FourChannel, "  21.37   -3.05  149.99  ***.**");
}
BENCHMARK(BM_DecodeFourChannelReply);

void BM_SampleTickMovingAverage1000(benchmark::State& state) {
    Channels channels{};
    startSampling(channels);
    const FilterSettings settings{static_cast<int>(FilterKind::MovingAverage), kMarCapacity, 1.0};
    float reading = 20.0f;
    for (auto _ : state) {
        for (ChannelState& channel : channels)
            storeReading(channel, reading, true);
        reading = reading > 30.0f ? 20.0f : reading + 0.25f;
        sampleChannels(channels, settings);
        benchmark::DoNotOptimize(channels);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SampleTickMovingAverage1000);

} // namespace

BENCHMARK_MAIN();
