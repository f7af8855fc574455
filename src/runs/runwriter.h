#pragma once

#include "events/runevents.h"
#include "runs/rundatabase.h"

#include <QLockFile>
#include <array>
#include <memory>
#include <vector>

namespace thermavo::runs {

// Records one run into a database: its ticks, the link's changes and the summaries of every
// level, kept until commit() writes them in one transaction. Times never go back within a run:
// a tick not after the last one (the clock was set back) is stored a millisecond after it.
class RunWriter {
public:
    RunWriter(RunDatabase& database, std::int64_t startMs, std::int32_t utcOffsetSeconds,
              int boardRow);
    ~RunWriter();
    RunWriter(const RunWriter&) = delete;
    RunWriter& operator=(const RunWriter&) = delete;

    std::int64_t run() const { return m_run; }
    std::int64_t ticks() const { return m_ticks; }

    void add(const SampleTick& tick);
    void add(const LinkEvent& event);
    // Throws StoreError; what was added since the last commit is kept then, for another try.
    void commit();
    // Commits and marks the run closed at the time.
    void close(std::int64_t ms, std::int32_t utcOffsetSeconds);

private:
    struct Pending {
        std::int64_t ms;
        TickChannels channels;
    };
    struct OpenBlock {
        bool present = false;
        StoredBlock block;
    };

    RunDatabase& m_database;
    std::int64_t m_run = 0;
    std::unique_ptr<QLockFile> m_lock;
    std::int64_t m_lastMs;
    std::int32_t m_offset;
    int m_board;
    std::int64_t m_ticks = 0;
    std::int64_t m_committedTicks = 0;
    std::vector<Pending> m_pending;
    std::vector<StoredChange> m_changes;
    std::array<OpenBlock, kLevels> m_open;
    // The blocks that ended since the last commit, with their level.
    std::vector<std::pair<int, StoredBlock>> m_finished;
};

} // namespace thermavo::runs
