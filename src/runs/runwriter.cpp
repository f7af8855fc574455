#include "runs/runwriter.h"

#include <QString>
#include <algorithm>
#include <cmath>

namespace thermavo::runs {

RunWriter::RunWriter(RunDatabase& database, std::int64_t startMs, std::int32_t utcOffsetSeconds,
                     int boardRow)
    : m_database(database), m_lastMs(startMs - 1), m_offset(utcOffsetSeconds), m_board(boardRow) {
    m_run = m_database.beginRun(startMs, utcOffsetSeconds, boardRow);
    m_lock = std::make_unique<QLockFile>(
        QString::fromStdString(RunDatabase::runLockPath(m_database.path(), m_run)));
    m_lock->setStaleLockTime(0);
    m_lock->tryLock(0);
}

RunWriter::~RunWriter() = default;

void RunWriter::add(const SampleTick& tick) {
    const std::int64_t ms = std::max(tick.msSinceEpoch, m_lastMs + 1);
    if (tick.utcOffsetSeconds != m_offset || tick.boardRow != m_board) {
        m_offset = tick.utcOffsetSeconds;
        m_board = tick.boardRow;
        m_changes.push_back({ms, kOffsetChange, m_offset, m_board, 0});
    }
    m_lastMs = ms;
    ++m_ticks;
    m_pending.push_back({ms, tick.channels});
    for (int level = 0; level < kLevels; ++level) {
        OpenBlock& open = m_open[static_cast<std::size_t>(level)];
        const std::int64_t start = blockStart(ms, level);
        if (open.present && open.block.startMs != start) {
            m_finished.emplace_back(level, open.block);
            open.present = false;
        }
        if (!open.present) {
            open.present = true;
            open.block = StoredBlock{start, {}, 0};
        }
        ++open.block.ticks;
        for (std::size_t channel = 0; channel < tick.channels.size(); ++channel) {
            const ChannelTick& value = tick.channels[channel];
            // The same rule as the tick's own encoding: what is not stored is not summed.
            if (value.valid && std::isfinite(value.sample) && std::isfinite(value.filtered))
                open.block.summary[channel].add(ms, toHundredths(value.filtered));
        }
    }
}

void RunWriter::add(const LinkEvent& event) {
    m_changes.push_back({std::max(event.msSinceEpoch, m_lastMs), static_cast<int>(event.change),
                         event.utcOffsetSeconds, event.boardRow, event.comNumber});
}

void RunWriter::commit() {
    m_database.begin();
    try {
        for (const Pending& tick : m_pending)
            m_database.putTick(m_run, tick.ms, tick.channels);
        for (const StoredChange& change : m_changes)
            m_database.putChange(m_run, change);
        for (const auto& [level, block] : m_finished)
            m_database.putBlock(m_run, level, block);
        for (int level = 0; level < kLevels; ++level) {
            if (m_open[static_cast<std::size_t>(level)].present)
                m_database.putBlock(m_run, level, m_open[static_cast<std::size_t>(level)].block);
        }
        if (m_ticks > m_committedTicks)
            m_database.updateRun(m_run, m_lastMs, m_offset, m_ticks, false);
        m_database.commit();
    } catch (...) {
        m_database.rollback();
        throw;
    }
    m_committedTicks = m_ticks;
    m_pending.clear();
    m_changes.clear();
    m_finished.clear();
}

void RunWriter::close(std::int64_t ms, std::int32_t utcOffsetSeconds) {
    commit();
    m_database.updateRun(m_run, std::max(ms, m_lastMs), utcOffsetSeconds, m_ticks, true);
    m_lock->unlock();
}

} // namespace thermavo::runs
