#include "history/runstore.h"

#include <algorithm>
#include <array>

namespace thermavo {

void RunStore::append(std::int64_t msSinceEpoch, const TickValues& values) {
    if (m_size > 0) {
        msSinceEpoch = std::max(msSinceEpoch, time(m_size - 1));
    }
    store(msSinceEpoch, values);
}

void RunStore::appendUnsorted(std::int64_t msSinceEpoch, const TickValues& values) {
    if (m_size > 0 && msSinceEpoch < time(m_size - 1)) {
        m_sorted = false;
    }
    store(msSinceEpoch, values);
}

void RunStore::sortByTime() {
    if (m_sorted) {
        return;
    }
    std::vector<std::size_t> order(m_size);
    for (std::size_t tick = 0; tick < m_size; ++tick) {
        order[tick] = tick;
    }
    std::stable_sort(order.begin(), order.end(),
                     [this](std::size_t a, std::size_t b) { return time(a) < time(b); });
    RunStore sorted;
    for (const std::size_t tick : order) {
        TickValues values;
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            values[static_cast<std::size_t>(channel)] = value(tick, channel);
        }
        sorted.store(time(tick), values);
    }
    *this = std::move(sorted);
}

void RunStore::store(std::int64_t msSinceEpoch, const TickValues& values) {
    if (m_size % kBlockTicks == 0) {
        // A block is filled in place; make_unique would zero its 160 kB first.
        m_blocks.push_back(std::unique_ptr<Block>(new Block));
    }
    Block& block = *m_blocks.back();
    const std::size_t slot = m_size % kBlockTicks;
    block.times[slot] = msSinceEpoch;
    const std::size_t chunk = slot / kSummaryTicks;
    const auto offset = static_cast<std::uint8_t>(slot % kSummaryTicks);
    for (std::size_t channel = 0; channel < values.size(); ++channel) {
        const float value = values[channel];
        block.values[channel][slot] = value;
        Summary& summary = block.summaries[channel][chunk];
        if (offset == 0) {
            summary = Summary{};
        }
        if (hasSample(value)) {
            if (summary.count == 0) {
                summary = {value, value, 0.0, offset, offset, offset, offset, 0};
            } else {
                if (value < summary.lowest) {
                    summary.lowest = value;
                    summary.lowestAt = offset;
                }
                if (value > summary.highest) {
                    summary.highest = value;
                    summary.highestAt = offset;
                }
                summary.lastAt = offset;
            }
            summary.sum += value;
            ++summary.count;
            // NaN compares false, so a channel's first sample sets both.
            if (!(value >= m_lowest[channel])) {
                m_lowest[channel] = value;
            }
            if (!(value <= m_highest[channel])) {
                m_highest[channel] = value;
            }
        }
    }
    if (m_breakPending) {
        m_segmentStarts.push_back(m_size);
        m_breakPending = false;
    }
    ++m_size;
}

void RunStore::clear() {
    m_blocks.clear();
    m_segmentStarts.clear();
    m_size = 0;
    m_breakPending = false;
    m_sorted = true;
    m_lowest = noValues();
    m_highest = noValues();
}

RunStore::Extremes RunStore::extremes(int channel, std::size_t from, std::size_t to) const {
    Extremes found;
    const auto take = [&](std::size_t first, std::size_t last, std::size_t lowest,
                          std::size_t highest, std::size_t count, double sum) {
        if (found.count == 0) {
            found = {count, first, last, lowest, highest, sum};
            return;
        }
        found.last = last;
        if (value(lowest, channel) < value(found.lowest, channel)) {
            found.lowest = lowest;
        }
        if (value(highest, channel) > value(found.highest, channel)) {
            found.highest = highest;
        }
        found.count += count;
        found.sum += sum;
    };
    to = std::min(to, m_size);
    std::size_t tick = from;
    while (tick < to) {
        if (tick % kSummaryTicks == 0 && tick + kSummaryTicks <= to) {
            const Block& block = *m_blocks[tick / kBlockTicks];
            const Summary& summary = block.summaries[static_cast<std::size_t>(channel)]
                                                    [tick % kBlockTicks / kSummaryTicks];
            if (summary.count > 0) {
                take(tick + summary.firstAt, tick + summary.lastAt, tick + summary.lowestAt,
                     tick + summary.highestAt, summary.count, summary.sum);
            }
            tick += kSummaryTicks;
            continue;
        }
        const float sample = value(tick, channel);
        if (hasSample(sample)) {
            take(tick, tick, tick, tick, 1, sample);
        }
        ++tick;
    }
    return found;
}

bool RunStore::startsSegment(std::size_t tick) const {
    return std::binary_search(m_segmentStarts.begin(), m_segmentStarts.end(), tick);
}

std::size_t RunStore::segmentEnd(std::size_t tick) const {
    const auto next = std::upper_bound(m_segmentStarts.begin(), m_segmentStarts.end(), tick);
    return next == m_segmentStarts.end() ? m_size : *next;
}

std::size_t RunStore::lowerBound(std::int64_t msSinceEpoch) const {
    std::size_t low = 0;
    std::size_t high = m_size;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (time(middle) < msSinceEpoch) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

std::size_t RunStore::upperBound(std::int64_t msSinceEpoch) const {
    return msSinceEpoch == std::numeric_limits<std::int64_t>::max() ? m_size
                                                                    : lowerBound(msSinceEpoch + 1);
}

std::size_t RunStore::bytesUsed() const {
    return m_blocks.size() * sizeof(Block) + m_blocks.capacity() * sizeof(m_blocks[0]) +
           m_segmentStarts.capacity() * sizeof(std::size_t) + sizeof(*this);
}

void RunStore::breakAtLongPauses(double factor) {
    if (m_size < 3) {
        return;
    }
    std::vector<std::size_t> starts;
    std::vector<std::int64_t> steps;
    steps.reserve(m_size > 0 ? m_size - 1 : 0);
    for (std::size_t tick = 1; tick < m_size; ++tick) {
        steps.push_back(time(tick) - time(tick - 1));
    }
    // The usual step of up to kPauseNeighbours steps from..to (not including to).
    std::array<std::int64_t, kPauseNeighbours> near{};
    const auto usual = [&](std::size_t from, std::size_t to) {
        const auto count = static_cast<std::ptrdiff_t>(to - from);
        std::copy(steps.begin() + static_cast<std::ptrdiff_t>(from),
                  steps.begin() + static_cast<std::ptrdiff_t>(to), near.begin());
        const auto middle = near.begin() + count / 2;
        std::nth_element(near.begin(), middle, near.begin() + count);
        return factor * static_cast<double>(std::max<std::int64_t>(*middle, 1));
    };
    for (std::size_t step = 0; step < steps.size(); ++step) {
        const std::size_t before = std::min(step, kPauseNeighbours);
        const std::size_t after = std::min(steps.size() - step - 1, kPauseNeighbours);
        const auto pause = static_cast<double>(steps[step]);
        // A log whose interval changed (or two logs of different intervals in one file) has
        // long steps only against the steps on one side of the change.
        const bool longBefore = before == 0 || pause > usual(step - before, step);
        const bool longAfter = after == 0 || pause > usual(step + 1, step + 1 + after);
        if ((before > 0 || after > 0) && longBefore && longAfter) {
            starts.push_back(step + 1);
        } else if (startsSegment(step + 1)) {
            starts.push_back(step + 1);
        }
    }
    m_segmentStarts = std::move(starts);
}

} // namespace thermavo
