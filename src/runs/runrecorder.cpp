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

void RunRecorder::push(Item item, bool urgent) {
    bool wake = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_queue.push_back(std::move(item));
        m_urgent = m_urgent || urgent;
        wake = m_idle || urgent;
    }
    if (wake)
        m_changed.notify_all();
}

void RunRecorder::add(const SampleTick& tick) {
    push(tick, false);
}

void RunRecorder::add(const LinkEvent& event) {
    push(event, false);
}

void RunRecorder::deleteRun(std::int64_t run) {
    push(Delete{run}, true);
}

void RunRecorder::flush() {
    std::unique_lock lock(m_mutex);
    if (m_stopped)
        return;
    const std::int64_t asked = ++m_flushesAsked;
    m_queue.push_back(Flush{});
    m_urgent = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_flushesDone >= asked || m_stopped; });
}

void RunRecorder::setFollowed(bool followed) {
    {
        const std::lock_guard lock(m_mutex);
        m_followed = followed;
        m_urgent = true;
    }
    m_changed.notify_all();
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
    using Clock = std::chrono::steady_clock;
    auto lastCheckpoint = Clock::now();
    auto lastCommit = lastCheckpoint - m_settings.commitEvery;
    // While ticks come: when the next commit is due. The thread sleeps until then, and the
    // ticks coming meanwhile do not wake it.
    constexpr Clock::time_point kNoneDue = Clock::time_point::max();
    Clock::time_point commitDue = kNoneDue;
    int commits = 0;
    bool dirty = false;
    while (database != nullptr && !m_stopped) {
        std::deque<Item> items;
        bool stopping = false;
        bool followed = false;
        {
            std::unique_lock lock(m_mutex);
            if (commitDue != kNoneDue) {
                m_changed.wait_until(lock, commitDue, [this] { return m_stopping || m_urgent; });
            } else {
                // Idle, the thread sleeps until something comes.
                m_idle = true;
                m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
                m_idle = false;
            }
            items.swap(m_queue);
            m_urgent = false;
            stopping = m_stopping;
            followed = m_followed;
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
            const auto now = Clock::now();
            const Clock::duration every =
                followed ? Clock::duration::zero() : Clock::duration(m_settings.commitEvery);
            const bool due =
                commitDue != kNoneDue ? now >= commitDue : now - lastCommit >= every / 2;
            if (writer != nullptr && dirty && (flushAsked || stopping || followed || due)) {
                writer->commit();
                dirty = false;
                lastCommit = now;
                commitDue = every > Clock::duration::zero() ? now + every : kNoneDue;
                if (now - lastCheckpoint >= m_settings.checkpointEvery) {
                    database->checkpoint(false);
                    lastCheckpoint = now;
                }
                {
                    const std::lock_guard lock(m_mutex);
                    m_run = writer->run();
                    m_committed = writer->ticks();
                }
                if (m_settings.onCommit)
                    m_settings.onCommit(writer->run(), writer->ticks());
                if (++commits >= m_settings.commitsBetweenLimits) {
                    commits = 0;
                    database->removeOldRuns(m_settings.maxBytes, m_settings.maxAgeMs,
                                            m_settings.nowMs(), writer->run());
                }
            } else if (dirty && commitDue == kNoneDue) {
                commitDue = lastCommit + every;
            } else if (!dirty && commitDue != kNoneDue && now >= commitDue) {
                // Nothing came since the last commit: sleep until something does.
                commitDue = kNoneDue;
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
