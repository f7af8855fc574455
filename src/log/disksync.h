#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace thermavo {

#ifdef _WIN32
using NativeFile = void*;
#else
using NativeFile = int;
#endif

// Makes what was written to an open file reach the medium itself (fdatasync, FlushFileBuffers),
// so that it survives a power cut. Failures are ignored: nothing could be done about them here,
// and the next write to the file reports a medium that is gone.
void syncToDisk(NativeFile file);

struct DiskSyncSettings {
    // Called on the syncing thread only, never on the writer's.
    std::function<void(NativeFile)> sync = syncToDisk;
    // The least time between two syncs: what a power cut can lose, plus the time a sync takes.
    std::chrono::milliseconds period{5000};
};

// Pushes a log's writes to the disk on a thread of its own, so that the writer never waits for a
// slow disk or USB stick. The thread works on its own duplicate of the log's descriptor and closes
// that itself, so closing the log never waits for a sync under way either. The first write after
// a quiet period is synced at once, later ones at most once a period.
class DiskSync {
public:
    explicit DiskSync(DiskSyncSettings settings = {});
    // Syncs what is left and ends the thread; this waits for a sync under way.
    ~DiskSync();
    DiskSync(const DiskSync&) = delete;
    DiskSync& operator=(const DiskSync&) = delete;

    // The writer now writes `file`, which it keeps and closes as it likes. A file just created
    // names its folder, whose entry for it is synced as well (Linux; elsewhere it is ignored).
    void follow(NativeFile file, const std::string& createdInFolder);
    // Something was written to the file followed.
    void written();
    // The writer is done with the file followed: what it wrote gets a last sync.
    void release();
    // Waits until the files released have had their last sync and are closed.
    void waitForReleased();

private:
    struct Pending {
        NativeFile file;
        std::string folder;
    };
    void run();
    void syncNow(const Pending& pending);

    const DiskSyncSettings m_settings;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    // The duplicate of the file the writer writes now, and whether it has unsynced data.
    std::optional<Pending> m_followed;
    bool m_dirty = false;
    // Duplicates of files the writer let go of, waiting for their last sync, and whether one of
    // them is being synced and closed now.
    std::vector<Pending> m_released;
    bool m_closing = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace thermavo
