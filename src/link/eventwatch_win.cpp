#include "link/eventwatch_win.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace thermavo {

namespace {

std::mutex watchesMutex;
std::unordered_map<std::uintptr_t, EventWatch*> liveWatches;
std::uintptr_t lastWatchId = 0;

EventWatch* liveWatch(std::uintptr_t id) {
    const std::lock_guard lock(watchesMutex);
    const auto found = liveWatches.find(id);
    return found == liveWatches.end() ? nullptr : found->second;
}

} // namespace

EventWatch::EventWatch(HANDLE event, QObject* context, std::function<void()> handler)
    : m_event(event), m_context(context), m_handler(std::move(handler)) {
    {
        const std::lock_guard lock(watchesMutex);
        m_id = ++lastWatchId;
        liveWatches.emplace(m_id, this);
    }
    m_wait = ::CreateThreadpoolWait(&EventWatch::signalled, reinterpret_cast<void*>(m_id), nullptr);
    if (m_wait != nullptr)
        ::SetThreadpoolWait(m_wait, m_event, nullptr);
}

EventWatch::~EventWatch() {
    if (m_wait != nullptr) {
        // Stops new callbacks, cancels queued ones and waits for running ones; one that Wine
        // starts later finds no watch.
        ::SetThreadpoolWait(m_wait, nullptr, nullptr);
        ::WaitForThreadpoolWaitCallbacks(m_wait, TRUE);
    }
    {
        const std::lock_guard lock(watchesMutex);
        liveWatches.erase(m_id);
    }
    if (m_wait != nullptr)
        ::CloseThreadpoolWait(m_wait);
}

void CALLBACK EventWatch::signalled(PTP_CALLBACK_INSTANCE, void* id, PTP_WAIT, TP_WAIT_RESULT) {
    const auto watchId = reinterpret_cast<std::uintptr_t>(id);
    // Under the lock, so that the watch and its context live while the call is queued.
    const std::lock_guard lock(watchesMutex);
    const auto found = liveWatches.find(watchId);
    if (found == liveWatches.end())
        return;
    QMetaObject::invokeMethod(
        found->second->m_context, [watchId] { deliver(watchId); }, Qt::QueuedConnection);
}

// A wait fires once per setting; it is set again after the handler, unless the handler ended
// the watch.
void EventWatch::deliver(std::uintptr_t id) {
    EventWatch* watch = liveWatch(id);
    if (watch == nullptr)
        return;
    const std::function<void()> handler = watch->m_handler;
    handler();
    watch = liveWatch(id);
    if (watch != nullptr)
        ::SetThreadpoolWait(watch->m_wait, watch->m_event, nullptr);
}

} // namespace thermavo
