#pragma once

#include "runs/tickcodec.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace thermavo::runs {

// The summary levels: blocks of a minute, an hour and a day (UTC), each the next one's parts.
inline constexpr int kLevels = 3;
inline constexpr std::int64_t kLevelSpanMs[kLevels] = {60'000, 3'600'000, 86'400'000};

inline std::int64_t blockStart(std::int64_t ms, int level) {
    const std::int64_t span = kLevelSpanMs[level];
    const std::int64_t start = ms / span * span;
    return start > ms ? start - span : start;
}

// What went wrong with the database, in words for the user, and SQLite's result code.
class StoreError : public std::runtime_error {
public:
    StoreError(const std::string& text, int code) : std::runtime_error(text), m_code(code) {}
    int code() const { return m_code; }
    // The disk (or the file's size limit) is full.
    bool diskFull() const;
    // Another program held the file longer than the wait for it.
    bool busy() const;

private:
    int m_code;
};

// A change of the link (its kinds numbered as LinkChange), or of the local UTC offset or the
// board between two ticks.
inline constexpr int kOffsetChange = 100;
struct StoredChange {
    std::int64_t ms = 0;
    int kind = kOffsetChange;
    std::int32_t utcOffsetSeconds = 0;
    int boardRow = 0;
    int comNumber = 0;
    bool operator==(const StoredChange&) const = default;
};

struct StoredTick {
    std::int64_t ms = 0;
    std::int32_t utcOffsetSeconds = 0;
    int boardRow = 0;
    TickChannels channels{};
};

enum class RunState {
    // This program or another one running now still records it.
    Recording,
    Closed,
    // The program recording it ended without closing it.
    Crashed,
};

struct RunInfo {
    std::int64_t id = 0;
    std::int64_t startMs = 0;
    std::int32_t startOffset = 0;
    // The last tick's time (the start while it has none), or when it was closed.
    std::int64_t endMs = 0;
    std::int32_t endOffset = 0;
    int boardRow = 0;
    std::int64_t ticks = 0;
    RunState state = RunState::Recording;
};

struct StoredBlock {
    std::int64_t startMs = 0;
    BlockSummary summary{};
    // The ticks in the block, with or without samples; 0 where the file does not say.
    std::uint32_t ticks = 0;
};

// One connection to a run database. Every statement runs to its end before the call returns;
// failures throw StoreError. A connection is used by one thread at a time.
class RunDatabase {
public:
    // Opens (creating it if absent or empty) the database file. A file that is not Thermavo's,
    // is damaged or comes from a newer version is left exactly as it was: StoreError says why.
    // A reader opening a file a recorder has opened already may skip the slow check of every page.
    enum class Check { Pages, Header };
    explicit RunDatabase(const std::string& path, Check check = Check::Pages);
    ~RunDatabase();
    RunDatabase(const RunDatabase&) = delete;
    RunDatabase& operator=(const RunDatabase&) = delete;

    const std::string& path() const { return m_path; }

    std::int64_t beginRun(std::int64_t ms, std::int32_t utcOffsetSeconds, int boardRow);

    // One transaction.
    void begin();
    void commit();
    void rollback();
    void putTick(std::int64_t run, std::int64_t ms, const TickChannels& channels);
    void putChange(std::int64_t run, const StoredChange& change);
    void putBlock(std::int64_t run, int level, const StoredBlock& block);
    void updateRun(std::int64_t run, std::int64_t endMs, std::int32_t endOffset, std::int64_t ticks,
                   bool closed);

    // Every run, oldest first.
    std::vector<RunInfo> runs();
    std::vector<StoredChange> changes(std::int64_t run);
    // The ticks the run holds as of its last commit; 0 for a run not there.
    std::int64_t tickCount(std::int64_t run);
    // The run's ticks at times from `fromMs` to `toMs`, ends included, at most `limit`.
    std::vector<StoredTick> ticks(std::int64_t run, std::int64_t fromMs, std::int64_t toMs,
                                  std::size_t limit);
    // The level's blocks starting from `fromMs` to `toMs`, ends included.
    std::vector<StoredBlock> blocks(std::int64_t run, int level, std::int64_t fromMs,
                                    std::int64_t toMs);
    std::int64_t blockCount(std::int64_t run, int level);
    // How many ticks lie at times from `fromMs` to `toMs`, ends included, counting no further
    // than `limit`: enough to tell whether a span is narrow enough to read tick by tick.
    std::int64_t countTicks(std::int64_t run, std::int64_t fromMs, std::int64_t toMs,
                            std::int64_t limit);
    // The time of the last tick at or before `ms`, or of the first at or after it.
    std::optional<std::int64_t> tickAtOrBefore(std::int64_t run, std::int64_t ms);
    std::optional<std::int64_t> tickAtOrAfter(std::int64_t run, std::int64_t ms);
    void deleteRun(std::int64_t run);

    // What the runs take in the file, the free pages left by removed runs not counted.
    std::int64_t usedBytes();
    // Removes the oldest runs (never `keep`, nor one another program is recording) while the
    // runs take more than `maxBytes` (0: no limit) or ended more than `maxAgeMs` before `nowMs`
    // (0: no limit). The ids removed.
    std::vector<std::int64_t> removeOldRuns(std::int64_t maxBytes, std::int64_t maxAgeMs,
                                            std::int64_t nowMs, std::int64_t keep);

    // Syncs the write-ahead log and moves what no reader needs any more into the file;
    // `truncate` also empties the log, waiting for readers.
    void checkpoint(bool truncate);

    // The lock file a recording program holds for its run.
    static std::string runLockPath(const std::string& databasePath, std::int64_t run);

private:
    class Statement;
    void exec(const char* sql);
    std::int64_t integer(const char* sql);
    void check(int code);
    void createOrCheck(Check check);
    void useWriteAheadLog();
    RunState stateOf(std::int64_t run, int stored) const;

    std::string m_path;
    sqlite3* m_db = nullptr;
    std::unique_ptr<Statement> m_putTick;
    std::unique_ptr<Statement> m_putBlock;
};

// Where the history is kept: `runs.sqlite` in the folder, or where that file is not Thermavo's,
// is damaged or is newer, the first of `runs-2.sqlite`, `runs-3.sqlite`, ... that opens; the
// files passed over stay as they are and `notice` says which and why.
struct OpenedStore {
    std::unique_ptr<RunDatabase> database;
    std::string notice;
};
OpenedStore openInFolder(const std::string& folder);

} // namespace thermavo::runs
