#include "history/storedrun.h"

#include <algorithm>
#include <limits>

namespace thermavo {

TickValues filteredValues(const runs::TickChannels& channels) {
    TickValues values;
    for (std::size_t channel = 0; channel < values.size(); ++channel)
        values[channel] = channels[channel].valid ? channels[channel].filtered : kNoSample;
    return values;
}

std::vector<std::int64_t> segmentBreaks(runs::RunDatabase& database, std::int64_t run) {
    std::vector<std::int64_t> breaks;
    for (const runs::StoredChange& change : database.changes(run)) {
        if (change.kind == static_cast<int>(LinkChange::OnLine) ||
            change.kind == static_cast<int>(LinkChange::Back))
            breaks.push_back(change.ms);
    }
    return breaks;
}

void appendTicks(RunStore& store, const std::vector<runs::StoredTick>& ticks,
                 const std::vector<std::int64_t>& breaks, std::size_t& nextBreak) {
    for (const runs::StoredTick& tick : ticks) {
        bool newSegment = false;
        while (nextBreak < breaks.size() && breaks[nextBreak] <= tick.ms) {
            newSegment = true;
            ++nextBreak;
        }
        if (newSegment)
            store.breakSegment();
        store.append(tick.ms, filteredValues(tick.channels));
    }
}

void appendBlockPoints(RunStore& store, const runs::StoredBlock& block, int level,
                       std::int64_t& previousStartMs) {
    const std::int64_t span = runs::kLevelSpanMs[level];
    // A block without ticks before this one: a break.
    if (previousStartMs != std::numeric_limits<std::int64_t>::min() &&
        block.startMs != previousStartMs + span)
        store.breakSegment();
    previousStartMs = block.startMs;
    std::array<TickValues, 4> points;
    for (TickValues& point : points)
        point.fill(kNoSample);
    for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
        const runs::ChannelSummary& summary = block.summary[channel];
        if (summary.count == 0)
            continue;
        const bool lowestFirst = summary.lowestMs <= summary.highestMs;
        points[0][channel] = runs::fromHundredths(summary.first);
        points[1][channel] = runs::fromHundredths(lowestFirst ? summary.lowest : summary.highest);
        points[2][channel] = runs::fromHundredths(lowestFirst ? summary.highest : summary.lowest);
        points[3][channel] = runs::fromHundredths(summary.last);
    }
    for (std::size_t point = 0; point < points.size(); ++point)
        store.append(block.startMs + span * static_cast<std::int64_t>(point) / 4, points[point]);
}

std::string boardName(int boardRow) {
    switch (boardRow) {
    case 0:
        return "Vexor08";
    case 1:
        return "Vexor04";
    case 2:
        return "Vexor04 USB";
    default:
        return "?";
    }
}

} // namespace thermavo
