#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <windows.h>

namespace thermavo {

// Runs a handler on a thread's event loop each time an event object is signalled, as
// QWinEventNotifier does, but safe to end at any moment, also from its own handler. Wine's thread
// pool may still run a wait's callback after the wait was stopped and closed (when it had seen
// the event signalled just before), and QWinEventNotifier's callback then uses the notifier's
// freed memory. The callback here carries only a number, which finds its watch while the watch
// lives and nothing after.
class EventWatch {
public:
    // The handler runs on the thread of the context object, which outlives the watch; the watch
    // is ended on that thread too.
    EventWatch(HANDLE event, QObject* context, std::function<void()> handler);
    ~EventWatch();
    EventWatch(const EventWatch&) = delete;
    EventWatch& operator=(const EventWatch&) = delete;

    // False when the system gave no wait: the error is in GetLastError().
    bool isWatching() const { return m_wait != nullptr; }

private:
    static void CALLBACK signalled(PTP_CALLBACK_INSTANCE instance, void* id, PTP_WAIT wait,
                                   TP_WAIT_RESULT result);
    static void deliver(std::uintptr_t id);

    HANDLE m_event;
    QObject* m_context;
    std::function<void()> m_handler;
    std::uintptr_t m_id;
    PTP_WAIT m_wait = nullptr;
};

} // namespace thermavo
