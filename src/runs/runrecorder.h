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
    // A crash or a power cut loses at most what came in since the last commit (each commit is
    // synced to the disk). Ticks wait for the next commit together, so the thread wakes about
    // once a commit while they come; one coming after a pause of at least half of this is
    // committed at once.
    std::chrono::milliseconds commitEvery{5000};
    // Checkpoints move the committed pages from the write-ahead log into the database file.
    std::chrono::milliseconds checkpointEvery{60000};
    // The limits are applied at the start and then after this many commits.
    int commitsBetweenLimits = 720;
    // Milliseconds since 1970 UTC and the local UTC offset, for the run's start (read by the
    // constructor) and end and the age limit (read on the recorder's thread).
    std::function<std::int64_t()> nowMs;
    std::function<std::int32_t()> utcOffsetSeconds;
    // Called on the recorder's thread after each commit with the run and its ticks on disk.
    std::function<void(std::int64_t run, std::int64_t ticks)> onCommit;
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
    // While somebody follows the run on disk, each tick is committed as it comes.
    void setFollowed(bool followed);
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
    // Ticks and link changes wake the thread only while it waits for nothing else: once it has
    // a commit due, they go with that commit.
    void push(Item item, bool urgent);

    RecorderSettings m_settings;
    std::function<void(const RecorderStatus&)> m_onStatus;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_queue;
    bool m_stopping = false;
    bool m_stopped = false;
    // The thread waits for anything that comes (not for a commit that is due).
    bool m_idle = false;
    // A flush, a removal or a new follower is waiting; it does not wait for the commit that is
    // due.
    bool m_urgent = false;
    bool m_followed = false;
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
