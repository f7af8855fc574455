#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace thermavo {

inline constexpr int kHistoryChannels = 8;
using TickValues = std::array<float, kHistoryChannels>;
// A channel without a sample at a tick.
inline constexpr float kNoSample = std::numeric_limits<float>::quiet_NaN();

inline bool hasSample(float value) {
    return !std::isnan(value);
}

// Every tick of a run (or of a log read back): its time, in milliseconds since 1970 UTC, and the
// filtered value of each channel, kNoSample where it had none. 40 bytes a tick, kept in blocks
// that never move once written, so a week at one tick a second stays near 24 MB and appending
// never copies what is there. Times never decrease. A segment is a stretch of ticks without a
// break; between two segments (off line, a lost board) there were no samples.
class RunStore {
public:
    static constexpr std::size_t kBlockTicks = 4096;
    // Every 64 ticks of a channel keep their lowest, highest, first and last sample and their
    // sum, so that a view of a week need not look at every tick: 3 bytes a tick more.
    static constexpr std::size_t kSummaryTicks = 64;

    // The samples of one channel over a range of ticks: the ticks of the first, last, lowest and
    // highest of them (the earliest where several are equal), their number and their sum.
    struct Extremes {
        std::size_t count = 0;
        std::size_t first = 0;
        std::size_t last = 0;
        std::size_t lowest = 0;
        std::size_t highest = 0;
        double sum = 0.0;
    };

    RunStore() = default;
    RunStore(RunStore&&) noexcept = default;
    RunStore& operator=(RunStore&&) noexcept = default;

    // A time before the last one (the clock was set back) is taken as the last one, so the
    // ticks stay in order.
    void append(std::int64_t msSinceEpoch, const TickValues& values);
    // Keeps the time as it is, for records read back in file order; sortByTime() puts them in
    // order afterwards.
    void appendUnsorted(std::int64_t msSinceEpoch, const TickValues& values);
    // Orders the ticks by time, those with the same time in the order they came. The segments
    // go; a log read back gets its own from breakAtLongPauses().
    void sortByTime();
    // The next tick appended starts a new segment.
    void breakSegment() { m_breakPending = !empty(); }
    void clear();

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::int64_t time(std::size_t tick) const {
        return m_blocks[tick / kBlockTicks]->times[tick % kBlockTicks];
    }
    float value(std::size_t tick, int channel) const {
        return m_blocks[tick / kBlockTicks]
            ->values[static_cast<std::size_t>(channel)][tick % kBlockTicks];
    }
    // Whether the tick is the first of a segment other than the first.
    bool startsSegment(std::size_t tick) const;
    // The first tick of every segment after the first, ascending.
    const std::vector<std::size_t>& segmentStarts() const { return m_segmentStarts; }
    // The segment end after tick: the index of the first tick of the next segment, or size().
    std::size_t segmentEnd(std::size_t tick) const;

    // The first tick at or after the time, or size().
    std::size_t lowerBound(std::int64_t msSinceEpoch) const;
    // The first tick after the time, or size().
    std::size_t upperBound(std::int64_t msSinceEpoch) const;

    // Of the channel's samples at the ticks from `from` up to, not including, `to`.
    Extremes extremes(int channel, std::size_t from, std::size_t to) const;

    // The smallest and largest value of a channel over all ticks; NaN for both while it has none.
    float lowest(int channel) const { return m_lowest[static_cast<std::size_t>(channel)]; }
    float highest(int channel) const { return m_highest[static_cast<std::size_t>(channel)]; }

    // What the ticks take in memory, blocks and their index included.
    std::size_t bytesUsed() const;

    // Breaks between segments where the time between two ticks is more than `factor` times the
    // usual one on either side of it (the median of the kPauseNeighbours steps before, and of
    // those after): for logs read back, which mark no breaks of their own and may change their
    // interval on the way.
    void breakAtLongPauses(double factor);
    static constexpr std::size_t kPauseNeighbours = 8;

private:
    struct Summary {
        float lowest;
        float highest;
        double sum;
        std::uint8_t lowestAt;
        std::uint8_t highestAt;
        std::uint8_t firstAt;
        std::uint8_t lastAt;
        std::uint8_t count;
    };
    static constexpr std::size_t kSummaries = kBlockTicks / kSummaryTicks;

    struct Block {
        std::array<std::int64_t, kBlockTicks> times;
        std::array<std::array<float, kBlockTicks>, kHistoryChannels> values;
        std::array<std::array<Summary, kSummaries>, kHistoryChannels> summaries;
    };

    std::vector<std::unique_ptr<Block>> m_blocks;
    std::vector<std::size_t> m_segmentStarts;
    std::size_t m_size = 0;
    bool m_breakPending = false;
    bool m_sorted = true;
    TickValues m_lowest = noValues();
    TickValues m_highest = noValues();

    void store(std::int64_t msSinceEpoch, const TickValues& values);

    static TickValues noValues() {
        TickValues values;
        values.fill(kNoSample);
        return values;
    }
};

} // namespace thermavo
