#pragma once

#include "history/runstore.h"
#include "runs/rundatabase.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace thermavo {

// A run read back from the run store, to show in the history window.
struct StoredRun {
    RunStore store;
    // -1: every tick. Otherwise the level whose blocks stand in for the ticks: each block gives
    // four points, its channels' first, lowest and highest (in the order they came) and last
    // values, so that the run stays within the ticks asked for whatever its length.
    int summaryLevel = -1;
};

// The run's filtered values, in pieces of a bounded size; a new segment wherever the board went
// on line or came back. At most `maxTicks` points. Throws runs::StoreError.
StoredRun loadStoredRun(runs::RunDatabase& database, std::int64_t run, std::size_t maxTicks,
                        const std::atomic<bool>& cancel);

// "Vexor08", "Vexor04", "Vexor04 USB": the board list's names.
std::string boardName(int boardRow);

} // namespace thermavo
