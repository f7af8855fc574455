#include "alarms/alarmrules.h"
#include "alarms/alarmtext.h"

#include <benchmark/benchmark.h>

namespace {

using namespace thermavo;
using namespace thermavo::alarms;

// Every channel with a high and a low limit, a delay and "no data", and the board watched.
AlarmSettings everyAlarm() {
    AlarmSettings settings;
    for (ChannelAlarms& channel : settings.channels) {
        channel.high = 30.0;
        channel.low = 10.0;
        channel.delay = 3;
        channel.noDataSeconds = 60;
    }
    settings.noReplySeconds = 30;
    settings.boardLostSeconds = 30;
    return settings;
}

AlarmRules onLine(const AlarmSettings& settings) {
    AlarmRules rules(settings);
    LinkEvent on;
    on.change = LinkChange::OnLine;
    rules.onLink(on);
    return rules;
}

// The usual tick: all eight channels inside their limits, nothing raised.
void BM_TickNothingRaised(benchmark::State& state) {
    AlarmRules rules = onLine(everyAlarm());
    SampleTick tick;
    tick.replies = 2;
    for (ChannelTick& channel : tick.channels)
        channel = {true, 20.0f, 20.0f};
    for (auto _ : state) {
        tick.msSinceEpoch += 1000;
        auto events = rules.onTick(tick);
        benchmark::DoNotOptimize(events);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TickNothingRaised);

// The worst tick: every channel crossing a limit one way or the other, each tick.
void BM_TickEveryChannelFlapping(benchmark::State& state) {
    AlarmSettings settings = everyAlarm();
    for (ChannelAlarms& channel : settings.channels)
        channel.delay = 1;
    AlarmRules rules = onLine(settings);
    SampleTick tick;
    tick.replies = 2;
    bool hot = false;
    for (auto _ : state) {
        hot = !hot;
        tick.msSinceEpoch += 1000;
        for (ChannelTick& channel : tick.channels)
            channel = {true, hot ? 40.0f : 20.0f, hot ? 40.0f : 20.0f};
        auto events = rules.onTick(tick);
        benchmark::DoNotOptimize(events);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TickEveryChannelFlapping);

// The status bar's text, made after each tick that changed something.
void BM_StatusText(benchmark::State& state) {
    AlarmRules rules = onLine(everyAlarm());
    SampleTick tick;
    tick.replies = 2;
    for (ChannelTick& channel : tick.channels)
        channel = {true, 40.0f, 40.0f};
    for (int count = 0; count < 3; ++count) {
        tick.msSinceEpoch += 1000;
        rules.onTick(tick);
    }
    for (auto _ : state) {
        std::string text = statusText(rules, '.');
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_StatusText);

} // namespace

BENCHMARK_MAIN();
