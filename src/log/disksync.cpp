#include "log/disksync.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace thermavo {

namespace {

#ifdef _WIN32

constexpr NativeFile kNoFile = nullptr;

NativeFile duplicate(NativeFile file) {
    HANDLE copy = nullptr;
    // The same access as the writer's handle: FlushFileBuffers needs GENERIC_WRITE.
    if (!DuplicateHandle(GetCurrentProcess(), static_cast<HANDLE>(file), GetCurrentProcess(), &copy,
                         0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return kNoFile;
    }
    return copy;
}

void closeDuplicate(NativeFile file) {
    CloseHandle(static_cast<HANDLE>(file));
}

void nameThisThread() {}

#else

constexpr NativeFile kNoFile = -1;

NativeFile duplicate(NativeFile file) {
    return ::fcntl(file, F_DUPFD_CLOEXEC, 0);
}

void closeDuplicate(NativeFile file) {
    ::close(file);
}

void nameThisThread() {
    pthread_setname_np(pthread_self(), "log-sync");
}

#endif

} // namespace

#ifdef _WIN32

void syncToDisk(NativeFile file) {
    FlushFileBuffers(static_cast<HANDLE>(file));
}

#else

void syncToDisk(NativeFile file) {
    while (::fdatasync(file) != 0 && errno == EINTR) {
    }
}

#endif

DiskSync::DiskSync(DiskSyncSettings settings) : m_settings(std::move(settings)) {}

DiskSync::~DiskSync() {
    {
        const std::lock_guard lock(m_mutex);
        if (m_followed) {
            m_released.push_back(*m_followed);
            m_followed.reset();
        }
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void DiskSync::follow(NativeFile file, const std::string& createdInFolder) {
    // Without a duplicate (no descriptor left) the log is written all the same, only not synced.
    const NativeFile copy = duplicate(file);
    if (copy == kNoFile) {
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_followed) {
            m_released.push_back(*m_followed);
        }
#ifdef _WIN32
        m_followed = Pending{copy, {}};
#else
        m_followed = Pending{copy, createdInFolder};
#endif
        m_dirty = !createdInFolder.empty();
        if (!m_thread.joinable()) {
            m_thread = std::thread([this] { run(); });
        }
    }
    m_wake.notify_one();
}

void DiskSync::written() {
    {
        const std::lock_guard lock(m_mutex);
        if (!m_followed || m_dirty) {
            return;
        }
        m_dirty = true;
    }
    m_wake.notify_one();
}

void DiskSync::release() {
    {
        const std::lock_guard lock(m_mutex);
        if (!m_followed) {
            return;
        }
        m_released.push_back(*m_followed);
        m_followed.reset();
        m_dirty = false;
    }
    m_wake.notify_one();
}

void DiskSync::waitForReleased() {
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [this] { return m_released.empty() && !m_closing; });
}

void DiskSync::run() {
    nameThisThread();
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_mutex);
    // Long ago, so that the first write is synced at once.
    Clock::time_point lastSync = Clock::now() - m_settings.period;
    for (;;) {
        if (!m_released.empty()) {
            const Pending last = m_released.front();
            m_released.erase(m_released.begin());
            m_closing = true;
            lock.unlock();
            syncNow(last);
            closeDuplicate(last.file);
            lock.lock();
            m_closing = false;
            m_done.notify_all();
            continue;
        }
        if (m_stopping) {
            return;
        }
        if (!m_dirty) {
            m_wake.wait(lock);
            continue;
        }
        const Clock::time_point due = lastSync + m_settings.period;
        if (Clock::now() < due) {
            m_wake.wait_until(lock, due);
            continue;
        }
        // The writer may release this file meanwhile; only this thread ever closes it.
        const Pending current = *m_followed;
        m_followed->folder.clear();
        m_dirty = false;
        lock.unlock();
        syncNow(current);
        lock.lock();
        lastSync = Clock::now();
    }
}

void DiskSync::syncNow(const Pending& pending) {
    m_settings.sync(pending.file);
#ifndef _WIN32
    // A new file's name lives in its folder, which a power cut could otherwise lose with it.
    if (!pending.folder.empty()) {
        const int folder = ::open(pending.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            m_settings.sync(folder);
            ::close(folder);
        }
    }
#endif
}

} // namespace thermavo
