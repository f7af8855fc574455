#include "runs/runrecorder.h"

#include "runs/rundatabase.h"
#include "runs/runwriter.h"

#include <memory>

namespace thermavo::runs {

RunRecorder::RunRecorder(RecorderSettings settings,
                         std::function<void(const RecorderStatus&)> onStatus)
    : m_settings(std::move(settings)), m_onStatus(std::move(onStatus)),
      m_startMs(m_settings.nowMs()), m_startOffset(m_settings.utcOffsetSeconds()) {
    m_thread = std::thread([this] { work(); });
}

RunRecorder::~RunRecorder() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void RunRecorder::push(Item item) {
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_queue.push_back(std::move(item));
    }
    m_changed.notify_all();
}

void RunRecorder::add(const SampleTick& tick) {
    push(tick);
}

void RunRecorder::add(const LinkEvent& event) {
    push(event);
}

void RunRecorder::deleteRun(std::int64_t run) {
    push(Delete{run});
}

void RunRecorder::flush() {
    std::unique_lock lock(m_mutex);
    if (m_stopped)
        return;
    const std::int64_t asked = ++m_flushesAsked;
    m_queue.push_back(Flush{});
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_flushesDone >= asked || m_stopped; });
}

std::int64_t RunRecorder::currentRun() const {
    const std::lock_guard lock(m_mutex);
    return m_run;
}

std::int64_t RunRecorder::committedTicks() const {
    const std::lock_guard lock(m_mutex);
    return m_committed;
}

void RunRecorder::work() {
    const std::int64_t startMs = m_startMs;
    const std::int32_t startOffset = m_startOffset;
    RecorderStatus status;
    std::unique_ptr<RunDatabase> database;
    std::unique_ptr<RunWriter> writer;
    const auto stop = [&](const std::string& why) {
        status.stopped = true;
        status.text = why;
        m_onStatus(status);
        const std::lock_guard lock(m_mutex);
        m_stopped = true;
        m_queue.clear();
        m_changed.notify_all();
    };
    try {
        OpenedStore opened = openInFolder(m_settings.folder);
        database = std::move(opened.database);
        status.path = database->path();
        status.text = opened.notice;
        database->removeOldRuns(m_settings.maxBytes, m_settings.maxAgeMs, startMs, 0);
        m_onStatus(status);
    } catch (const std::exception& error) {
        stop(m_settings.folder + ": " + error.what());
    }
    auto lastCommit = std::chrono::steady_clock::now();
    auto lastCheckpoint = lastCommit;
    int commits = 0;
    bool dirty = false;
    while (database != nullptr && !m_stopped) {
        std::deque<Item> items;
        bool stopping = false;
        {
            std::unique_lock lock(m_mutex);
            const auto ready = [this] { return m_stopping || !m_queue.empty(); };
            // Idle, the thread sleeps until something comes; with ticks not yet on disk, until
            // their commit is due.
            if (dirty)
                m_changed.wait_until(lock, lastCommit + m_settings.commitEvery, ready);
            else
                m_changed.wait(lock, ready);
            items.swap(m_queue);
            stopping = m_stopping;
        }
        bool flushAsked = false;
        try {
            for (Item& item : items) {
                if (auto* tick = std::get_if<SampleTick>(&item)) {
                    if (writer == nullptr)
                        writer = std::make_unique<RunWriter>(*database, startMs, startOffset,
                                                             tick->boardRow);
                    writer->add(*tick);
                    dirty = true;
                } else if (auto* event = std::get_if<LinkEvent>(&item)) {
                    if (writer == nullptr)
                        writer = std::make_unique<RunWriter>(*database, startMs, startOffset,
                                                             event->boardRow);
                    writer->add(*event);
                    dirty = true;
                } else if (auto* remove = std::get_if<Delete>(&item)) {
                    if (writer == nullptr || remove->run != writer->run())
                        database->deleteRun(remove->run);
                } else {
                    flushAsked = true;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            if (writer != nullptr && dirty &&
                (flushAsked || stopping || now - lastCommit >= m_settings.commitEvery)) {
                writer->commit();
                dirty = false;
                lastCommit = now;
                if (now - lastCheckpoint >= m_settings.checkpointEvery) {
                    database->checkpoint(false);
                    lastCheckpoint = now;
                }
                const std::lock_guard lock(m_mutex);
                m_run = writer->run();
                m_committed = writer->ticks();
            }
            if (writer != nullptr && ++commits >= m_settings.commitsBetweenLimits) {
                commits = 0;
                database->removeOldRuns(m_settings.maxBytes, m_settings.maxAgeMs,
                                        m_settings.nowMs(), writer->run());
            }
            if (stopping) {
                if (writer != nullptr)
                    writer->close(m_settings.nowMs(), m_settings.utcOffsetSeconds());
                writer.reset();
                database->checkpoint(true);
                database.reset();
            }
        } catch (const StoreError& error) {
            stop(error.diskFull() ? "the disk is full" : status.path + ": " + error.what());
        } catch (const std::exception& error) {
            stop(status.path + ": " + error.what());
        }
        if (flushAsked) {
            const std::lock_guard lock(m_mutex);
            m_flushesDone = m_flushesAsked;
            m_changed.notify_all();
        }
        if (stopping)
            break;
    }
    writer.reset();
    database.reset();
    const std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_changed.notify_all();
}

} // namespace thermavo::runs
