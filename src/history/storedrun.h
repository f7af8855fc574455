#pragma once

#include "history/runstore.h"
#include "runs/rundatabase.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace thermavo {

// The channels' filtered values, kNoSample where a channel has none.
TickValues filteredValues(const runs::TickChannels& channels);
// The times the board went on line or came back in the run: where a new segment starts.
std::vector<std::int64_t> segmentBreaks(runs::RunDatabase& database, std::int64_t run);
// Appends the ticks' filtered values, starting a segment at every break passed on the way;
// `nextBreak` is the first break not yet passed.
void appendTicks(RunStore& store, const std::vector<runs::StoredTick>& ticks,
                 const std::vector<std::int64_t>& breaks, std::size_t& nextBreak);
// Appends a summary block of the level as four points spread over its time: each channel's
// first, lowest and highest (in the order they came) and last value. A block that does not
// follow `previousStartMs` (none yet: the lowest int64) starts a segment.
void appendBlockPoints(RunStore& store, const runs::StoredBlock& block, int level,
                       std::int64_t& previousStartMs);

// "Vexor08", "Vexor04", "Vexor04 USB": the board list's names.
std::string boardName(int boardRow);

} // namespace thermavo
