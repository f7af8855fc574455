#pragma once

#include "history/historyview.h"
#include "runs/rundatabase.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace thermavo {

// What the history window asks of a run for the span in view: the plot's points for the shown
// channels, within `budget` points a channel.
struct RangeRequest {
    Span time;
    std::size_t budget = 0;
    ChannelMask channels{};
    bool operator==(const RangeRequest&) const = default;
};

struct RangeAnswer {
    RangeRequest request;
    std::array<std::vector<PlotPoint>, kHistoryChannels> points;
    // Exact over the span, whatever level the points come from.
    SpanStatistics statistics;
    // The ticks within the span. Where whole summary blocks lie inside, a block counts the ticks
    // of its channel with the most samples: a tick without any sample there is not counted.
    std::size_t ticks = 0;
    // The first and last tick within the span, while there are any.
    std::int64_t firstMs = 0;
    std::int64_t lastMs = 0;
    // -1: the points are the ticks; otherwise the summary level they come from.
    int level = -1;
    // Why the run could not be read; empty when it was.
    std::string error;
};

// A run in the run store read a span at a time, so that what is held in memory stays within a
// few thousand points whatever the run's length: every tick while the span holds at most
// kTicksPerPoint times the budget, otherwise each summary block's first, lowest, highest and
// last at the finest level with at most kBlocksPerPoint times the budget in the span. One
// connection, one thread at a time.
class StoredRange {
public:
    static constexpr std::int64_t kTicksPerPoint = 4;
    static constexpr std::int64_t kBlocksPerPoint = 2;

    StoredRange(runs::RunDatabase& database, std::int64_t run);

    RunExtent extent();
    // Stops early, with what it has, when `cancel` is set.
    RangeAnswer range(const RangeRequest& request, const std::atomic<bool>& cancel);
    // The values of the tick under the time, as tickAt() finds it; none in a break.
    std::optional<TickValues> valuesAt(double seconds);
    // The ticks at times from `fromMs` to `toMs`, ends included, in pieces of at most `pieceTicks`,
    // until `piece` says stop.
    void forEachPiece(std::int64_t fromMs, std::int64_t toMs, std::size_t pieceTicks,
                      const std::function<bool(const std::vector<runs::StoredTick>&)>& piece);

private:
    struct Totals;
    void addStatistics(int level, std::int64_t fromMs, std::int64_t toMs, Totals& totals,
                       const std::atomic<bool>& cancel);
    void addTicks(std::int64_t fromMs, std::int64_t toMs, Totals& totals,
                  const std::atomic<bool>& cancel);
    void addPoints(RangeAnswer& answer, std::int64_t fromMs, std::int64_t toMs);

    runs::RunDatabase& m_database;
    std::int64_t m_run;
    std::vector<std::int64_t> m_breaks;
};

// Answers range requests on a thread of its own, over its own connection to the database. A new
// request supersedes the one waiting and stops the one being read; `done` gets every answer
// read to its end, on the worker's thread.
class RangeWorker {
public:
    RangeWorker(std::string path, std::int64_t run, std::function<void(RangeAnswer)> done);
    ~RangeWorker();
    RangeWorker(const RangeWorker&) = delete;
    RangeWorker& operator=(const RangeWorker&) = delete;

    void ask(const RangeRequest& request);

private:
    void work();

    std::string m_path;
    std::int64_t m_run;
    std::function<void(RangeAnswer)> m_done;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<RangeRequest> m_waiting;
    std::atomic<bool> m_cancel{false};
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace thermavo
