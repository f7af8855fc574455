#pragma once

#include "events/runevents.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

namespace thermavo::runs {

struct RecorderSettings {
    // Where the database is kept; it is created if absent.
    std::string folder;
    // Limits beyond which the oldest runs are removed; 0: none.
    std::int64_t maxBytes = 0;
    std::int64_t maxAgeMs = 0;
    // A crash loses at most what came in since the last commit.
    std::chrono::milliseconds commitEvery{1000};
    // The write-ahead log reaches the disk only at a checkpoint (SQLite syncs it then, not at
    // every commit): a power cut loses at most what came in since the last one.
    std::chrono::milliseconds checkpointEvery{5000};
    // The limits are applied at the start and then after this many commits.
    int commitsBetweenLimits = 3600;
    // Milliseconds since 1970 UTC and the local UTC offset, for the run's start (read by the
    // constructor) and end and the age limit (read on the recorder's thread).
    std::function<std::int64_t()> nowMs;
    std::function<std::int32_t()> utcOffsetSeconds;
};

// What the recorder says about itself, on its own thread.
struct RecorderStatus {
    // The database in use; empty while none.
    std::string path;
    // Files passed over, or why the recorder stopped, for the user.
    std::string text;
    bool stopped = false;
};

// Records the run of this program into the database in the folder, on a thread of its own: the
// window's thread only puts ticks and link changes in a queue. The run begins with the first
// tick or change and is closed when the recorder goes. After an error the recorder stops and
// drops what comes; the data logs are none of its business.
class RunRecorder {
public:
    RunRecorder(RecorderSettings settings, std::function<void(const RecorderStatus&)> onStatus);
    ~RunRecorder();
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    void add(const SampleTick& tick);
    void add(const LinkEvent& event);
    // Removes a run other than this one, on the recorder's thread.
    void deleteRun(std::int64_t run);
    // Commits what is queued and waits until it is on disk (or the recorder stopped).
    void flush();
    // The run being recorded; 0 until its first tick or change is on disk.
    std::int64_t currentRun() const;
    std::int64_t committedTicks() const;

private:
    struct Delete {
        std::int64_t run;
    };
    struct Flush {};
    using Item = std::variant<SampleTick, LinkEvent, Delete, Flush>;

    void work();
    void push(Item item);

    RecorderSettings m_settings;
    std::function<void(const RecorderStatus&)> m_onStatus;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_queue;
    bool m_stopping = false;
    bool m_stopped = false;
    std::int64_t m_flushesAsked = 0;
    std::int64_t m_flushesDone = 0;
    std::int64_t m_run = 0;
    std::int64_t m_committed = 0;
    // The program's start, the run's.
    std::int64_t m_startMs;
    std::int32_t m_startOffset;
    std::thread m_thread;
};

} // namespace thermavo::runs
