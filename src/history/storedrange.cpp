#include "history/storedrange.h"

#include "history/storedrun.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace thermavo {

namespace {

constexpr std::size_t kPieceTicks = 65536;
constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kLastTime = std::numeric_limits<std::int64_t>::max();

std::int64_t msAtOrAfter(double seconds) {
    return static_cast<std::int64_t>(std::ceil(seconds * kMsPerSecond));
}

std::int64_t msAtOrBefore(double seconds) {
    return static_cast<std::int64_t>(std::floor(seconds * kMsPerSecond));
}

} // namespace

// Each channel's samples in hundredths, as the store keeps them, so that sums stay exact.
struct StoredRange::Totals {
    struct Channel {
        std::size_t count = 0;
        std::int64_t sum = 0;
        std::int64_t lowest = 0;
        std::int64_t highest = 0;

        void add(std::size_t more, std::int64_t moreSum, std::int64_t low, std::int64_t high) {
            if (more == 0)
                return;
            lowest = count == 0 ? low : std::min(lowest, low);
            highest = count == 0 ? high : std::max(highest, high);
            count += more;
            sum += moreSum;
        }
    };
    std::array<Channel, kHistoryChannels> channels{};
    std::size_t ticks = 0;
};

StoredRange::StoredRange(runs::RunDatabase& database, std::int64_t run)
    : m_database(database), m_run(run) {}

RunExtent StoredRange::extent() {
    RunExtent run;
    const std::optional<std::int64_t> first = m_database.tickAtOrAfter(m_run, kNoTime);
    const std::optional<std::int64_t> last = m_database.tickAtOrBefore(m_run, kLastTime);
    if (!first || !last)
        return run;
    run.firstMs = *first;
    run.lastMs = *last;
    run.ticks = static_cast<std::size_t>(std::max<std::int64_t>(m_database.tickCount(m_run), 1));
    // The days' blocks hold every channel's extremes; a year has a few hundred of them.
    for (const runs::StoredBlock& block :
         m_database.blocks(m_run, runs::kLevels - 1, kNoTime, kLastTime)) {
        for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
            const runs::ChannelSummary& summary = block.summary[channel];
            if (summary.count == 0)
                continue;
            const float lowest = runs::fromHundredths(summary.lowest);
            const float highest = runs::fromHundredths(summary.highest);
            run.lowest[channel] =
                hasSample(run.lowest[channel]) ? std::min(run.lowest[channel], lowest) : lowest;
            run.highest[channel] =
                hasSample(run.highest[channel]) ? std::max(run.highest[channel], highest) : highest;
        }
    }
    return run;
}

RangeAnswer StoredRange::range(const RangeRequest& request, const std::atomic<bool>& cancel) {
    RangeAnswer answer;
    answer.request = request;
    m_breaks = segmentBreaks(m_database, m_run);
    const std::int64_t fromMs = msAtOrAfter(request.time.lower);
    const std::int64_t toMs = msAtOrBefore(request.time.upper);
    const std::optional<std::int64_t> first = m_database.tickAtOrAfter(m_run, fromMs);
    const std::optional<std::int64_t> last = m_database.tickAtOrBefore(m_run, toMs);
    if (first && last && *first <= *last) {
        answer.firstMs = *first;
        answer.lastMs = *last;
        Totals totals;
        addStatistics(runs::kLevels - 1, *first, *last, totals, cancel);
        answer.ticks = totals.ticks;
        for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
            const Totals::Channel& found = totals.channels[channel];
            if (found.count == 0)
                continue;
            answer.statistics[channel] = {found.count, runs::fromHundredths(found.lowest),
                                          runs::fromHundredths(found.highest),
                                          static_cast<double>(found.sum) / runs::kHundredths /
                                              static_cast<double>(found.count)};
        }
    }
    if (!cancel)
        addPoints(answer, fromMs, toMs);
    return answer;
}

void StoredRange::addStatistics(int level, std::int64_t fromMs, std::int64_t toMs, Totals& totals,
                                const std::atomic<bool>& cancel) {
    if (fromMs > toMs || cancel)
        return;
    if (level < 0) {
        addTicks(fromMs, toMs, totals, cancel);
        return;
    }
    // The level's blocks wholly inside the span count as they are; the edges go a level down.
    const std::int64_t span = runs::kLevelSpanMs[level];
    std::int64_t wholeFrom = runs::blockStart(fromMs, level);
    if (wholeFrom < fromMs)
        wholeFrom += span;
    const std::int64_t wholeTo = runs::blockStart(toMs + 1, level);
    if (wholeFrom >= wholeTo) {
        addStatistics(level - 1, fromMs, toMs, totals, cancel);
        return;
    }
    addStatistics(level - 1, fromMs, wholeFrom - 1, totals, cancel);
    for (const runs::StoredBlock& block :
         m_database.blocks(m_run, level, wholeFrom, wholeTo - span)) {
        std::size_t most = 0;
        for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
            const runs::ChannelSummary& summary = block.summary[channel];
            totals.channels[channel].add(summary.count, summary.sum, summary.lowest,
                                         summary.highest);
            most = std::max<std::size_t>(most, summary.count);
        }
        // Files written before blocks kept their tick count say only how many samples each
        // channel had.
        totals.ticks += std::max<std::size_t>(block.ticks, most);
    }
    addStatistics(level - 1, wholeTo, toMs, totals, cancel);
}

void StoredRange::addTicks(std::int64_t fromMs, std::int64_t toMs, Totals& totals,
                           const std::atomic<bool>& cancel) {
    forEachPiece(fromMs, toMs, kPieceTicks, [&](const std::vector<runs::StoredTick>& piece) {
        totals.ticks += piece.size();
        for (const runs::StoredTick& tick : piece) {
            for (std::size_t channel = 0; channel < kHistoryChannels; ++channel) {
                const ChannelTick& value = tick.channels[channel];
                if (!value.valid)
                    continue;
                const std::int64_t hundredths = runs::toHundredths(value.filtered);
                totals.channels[channel].add(1, hundredths, hundredths, hundredths);
            }
        }
        return !cancel;
    });
}

void StoredRange::addPoints(RangeAnswer& answer, std::int64_t fromMs, std::int64_t toMs) {
    const RangeRequest& request = answer.request;
    const auto budget = static_cast<std::int64_t>(std::max<std::size_t>(request.budget, 1));
    const std::int64_t readable = budget * kTicksPerPoint;
    RunStore store;
    if (m_database.countTicks(m_run, fromMs, toMs, readable + 1) <= readable) {
        answer.level = -1;
        // One tick beyond each edge, so the line runs to the edges.
        const std::int64_t before = m_database.tickAtOrBefore(m_run, fromMs - 1).value_or(fromMs);
        const std::int64_t after = m_database.tickAtOrAfter(m_run, toMs + 1).value_or(toMs);
        std::size_t nextBreak = 0;
        appendTicks(store,
                    m_database.ticks(m_run, before, after, static_cast<std::size_t>(readable + 2)),
                    m_breaks, nextBreak);
    } else {
        // The finest level with at most twice as many blocks in the span as the budget has
        // points: their four points a block are then taken in runs as ticks are, so the curve
        // keeps the resolution of the plot.
        const std::int64_t blocks = budget * kBlocksPerPoint;
        int level = 0;
        while (level + 1 < runs::kLevels && (toMs - fromMs) / runs::kLevelSpanMs[level] > blocks)
            ++level;
        answer.level = level;
        const std::int64_t span = runs::kLevelSpanMs[level];
        std::int64_t previous = kNoTime;
        for (const runs::StoredBlock& block :
             m_database.blocks(m_run, level, runs::blockStart(fromMs, level) - span, toMs + span))
            appendBlockPoints(store, block, level, previous);
    }
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        if (request.channels[static_cast<std::size_t>(channel)])
            plotPoints(store, request.time, channel, request.budget,
                       answer.points[static_cast<std::size_t>(channel)]);
    }
}

std::optional<TickValues> StoredRange::valuesAt(double seconds) {
    const std::int64_t ms = msAtOrBefore(seconds);
    const std::optional<std::int64_t> tick = m_database.tickAtOrBefore(m_run, ms);
    if (!tick)
        return std::nullopt;
    if (ms > *tick) {
        // Between the last tick of a segment and the first of the next: a break, no samples.
        if (const std::optional<std::int64_t> next = m_database.tickAtOrAfter(m_run, ms + 1)) {
            for (const std::int64_t at : segmentBreaks(m_database, m_run)) {
                if (at > *tick && at <= *next)
                    return std::nullopt;
            }
        }
    }
    const std::vector<runs::StoredTick> found = m_database.ticks(m_run, *tick, *tick, 1);
    if (found.empty())
        return std::nullopt;
    return filteredValues(found.front().channels);
}

void StoredRange::forEachPiece(
    std::int64_t fromMs, std::int64_t toMs, std::size_t pieceTicks,
    const std::function<bool(const std::vector<runs::StoredTick>&)>& piece) {
    while (fromMs <= toMs) {
        const std::vector<runs::StoredTick> ticks =
            m_database.ticks(m_run, fromMs, toMs, pieceTicks);
        if (ticks.empty() || !piece(ticks) || ticks.size() < pieceTicks)
            return;
        fromMs = ticks.back().ms + 1;
    }
}

RangeWorker::RangeWorker(std::string path, std::int64_t run, std::function<void(RangeAnswer)> done)
    : m_path(std::move(path)), m_run(run), m_done(std::move(done)), m_thread([this] { work(); }) {}

RangeWorker::~RangeWorker() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_cancel = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void RangeWorker::ask(const RangeRequest& request) {
    {
        const std::lock_guard lock(m_mutex);
        m_waiting = request;
        m_cancel = true;
    }
    m_changed.notify_all();
}

void RangeWorker::work() {
    std::unique_ptr<runs::RunDatabase> database;
    for (;;) {
        RangeRequest request;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || m_waiting.has_value(); });
            if (m_stopping)
                return;
            request = *m_waiting;
            m_waiting.reset();
            m_cancel = false;
        }
        RangeAnswer answer;
        try {
            if (database == nullptr)
                database =
                    std::make_unique<runs::RunDatabase>(m_path, runs::RunDatabase::Check::Header);
            StoredRange range(*database, m_run);
            answer = range.range(request, m_cancel);
        } catch (const std::exception& error) {
            answer = RangeAnswer{};
            answer.request = request;
            answer.error = error.what();
            database.reset();
        }
        // A request that came meanwhile makes this answer stale.
        if (!m_cancel)
            m_done(std::move(answer));
    }
}

} // namespace thermavo
