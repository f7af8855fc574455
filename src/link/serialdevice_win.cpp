#include "link/serialdevice_win.h"

#include "link/comport.h"
#include "link/eventwatch_win.h"
#include "link/portmap.h"
#include "link/serialdevice.h"

#include <QDeadlineTimer>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace thermavo {

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kReadChunk = 256;
// How long a close waits for the driver to finish the requests it was told to cancel, and for
// a flush it was told to cancel.
constexpr int kCancelWaitMs = 1000;

struct OpenFailure {
    DWORD code;
    PortOpenError::Reason reason;
};

// System errors of the device's opening that the user is told as a port-open reason; any other
// error keeps the system's text.
constexpr OpenFailure kOpenFailures[] = {
    {ERROR_FILE_NOT_FOUND, PortOpenError::Reason::NoSuchPort},
    {ERROR_PATH_NOT_FOUND, PortOpenError::Reason::NoSuchPort},
    {ERROR_ACCESS_DENIED, PortOpenError::Reason::PortInUse},
};

std::mutex apiMutex;
WinSerialApi installedApi;
std::atomic<int> abandonedRequests = 0;

bool runningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

WinSerialApi currentApi() {
    const std::lock_guard lock(apiMutex);
    return installedApi;
}

QString systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString message = length > 0 ? QString::fromWCharArray(text, static_cast<qsizetype>(length))
                                 : QStringLiteral("System error %1").arg(code);
    ::LocalFree(text);
    return message.trimmed();
}

[[noreturn]] void failOpen(DWORD code) {
    for (const OpenFailure& failure : kOpenFailures) {
        if (failure.code == code)
            throw PortOpenError(failure.reason);
    }
    throw PortIoError(systemMessage(code).toStdString());
}

DWORD remainingMs(const QDeadlineTimer& deadline) {
    return static_cast<DWORD>(deadline.remainingTime());
}

// 8N1, binary, no flow control of any kind, DTR and RTS raised while open.
bool applyLineSettings(HANDLE device, int baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(device, &dcb))
        return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    // A read returns at once with what the driver holds, without waiting for more.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    return ::SetCommState(device, &dcb) && ::SetCommTimeouts(device, &timeouts) &&
           ::SetCommMask(device, EV_RXCHAR);
}

// One overlapped request with its event and the memory the driver fills. It lives on the heap so
// that a request the driver never finishes can keep that memory after the device is gone.
struct Request {
    OVERLAPPED block{};
    std::array<char, kReadChunk> chunk{};
    QByteArray bytes;
    DWORD events = 0;
    bool pending = false;
    std::unique_ptr<EventWatch> watch;

    Request() { block.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Request() {
        // The system must stop waiting on the event before it is closed.
        watch.reset();
        if (block.hEvent != nullptr)
            ::CloseHandle(block.hEvent);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // An activation can be left over from a request that completed at once; its event is
    // cleared so that the watch does not fire again and again.
    bool completed() {
        if (pending && HasOverlappedIoCompleted(&block))
            return true;
        if (!pending)
            ::ResetEvent(block.hEvent);
        return false;
    }
};

// FlushFileBuffers returns once the driver has sent what it holds, and takes no time-out. It runs
// on a thread of its own with its own handle of the device, so that a flush that does not end can
// be cancelled, and if even that does not end it, left behind without touching the device's
// handle.
struct Flush {
    std::function<BOOL(HANDLE)> call;
    std::atomic<HANDLE> device = nullptr;
    std::atomic<bool> succeeded = false;

    ~Flush() { closeDevice(); }

    // A flush left behind must not keep the device open: while any handle of it is open, every
    // later opening of the port (the reconnect's too) is refused as in use. Closed here, the
    // device's last handle goes with the port's own at the close, and closing the last handle
    // makes the driver end what is still pending on it, the flush included. The flush has been
    // inside its call for more than a second by then, so it no longer reads this handle.
    void closeDevice() {
        if (const HANDLE handle = device.exchange(nullptr); handle != nullptr)
            ::CloseHandle(handle);
    }

    static DWORD WINAPI run(void* parameter) {
        const std::unique_ptr<std::shared_ptr<Flush>> flush(
            static_cast<std::shared_ptr<Flush>*>(parameter));
        (*flush)->succeeded = (*flush)->call((*flush)->device.load()) != FALSE;
        return 0;
    }
};

class WinSerialDevice final : public SerialDevice {
public:
    WinSerialDevice() : m_api(currentApi()) {}

    ~WinSerialDevice() override { release(); }

    void open(int number, int baud) override {
        const std::string path = devicePathForPort(number);
        if (path.empty())
            throw PortOpenError(PortOpenError::Reason::NoSuchPort);
        for (std::unique_ptr<Request>* request : {&m_read, &m_write, &m_wait}) {
            *request = std::make_unique<Request>();
            if ((*request)->block.hEvent == nullptr)
                throw PortIoError(systemMessage(::GetLastError()).toStdString());
        }
        const HANDLE device = ::CreateFileW(QString::fromStdString(path).toStdWString().c_str(),
                                            GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            failOpen(::GetLastError());
        if (!::SetupComm(device, kQueueSize, kQueueSize) || !applyLineSettings(device, baud)) {
            const DWORD code = ::GetLastError();
            ::CloseHandle(device);
            failOpen(code);
        }
        if (!watch(*m_read, [this] { readDone(); }) || !watch(*m_write, [this] { writeDone(); }) ||
            !watch(*m_wait, [this] { lineEventDone(); })) {
            const DWORD code = ::GetLastError();
            endWatches();
            ::CloseHandle(device);
            throw PortIoError(systemMessage(code).toStdString());
        }
        m_device = device;
        if (m_api.opened)
            m_api.opened(m_device);
        // Reading starts once the worker listens.
        QMetaObject::invokeMethod(
            this, [this] { startReading(); }, Qt::QueuedConnection);
    }

    QByteArray readAll() override {
        QByteArray bytes;
        bytes.swap(m_received);
        return bytes;
    }

    // A read or character wait already under way still completes; no new one starts until
    // reading resumes.
    void pauseReading(bool paused) override {
        m_paused = paused;
        if (!paused)
            startReading();
    }

    void write(const QByteArray& bytes) override {
        m_queued += bytes;
        if (isOpen() && !m_write->pending)
            startWriting();
    }

    // What the driver took within the time is waited for until it has left the port; only what
    // it could not take, or not send, in time is discarded.
    void drainOrDiscard(int waitMs) override {
        const QDeadlineTimer deadline(waitMs);
        while (isOpen() && m_write->pending) {
            if (::WaitForSingleObject(m_write->block.hEvent, remainingMs(deadline)) !=
                WAIT_OBJECT_0)
                break;
            writeDone();
        }
        m_queued.clear();
        if (!isOpen())
            return;
        if (m_write->pending || !flushWithin(deadline))
            ::PurgeComm(m_device, PURGE_TXABORT | PURGE_TXCLEAR);
    }

    void close() override { release(); }

private:
    // A request aborted although the device did not ask for it (Windows' serial drivers do so
    // when a device is removed, and some USB drivers now and then while it stays) is started
    // again once, after the line's error state is cleared. A second abort before the request
    // has completed again, or a failure to clear the error state, gives the device up.
    enum class Outcome { Done, Restart, Failed };

    bool isOpen() const { return m_device != INVALID_HANDLE_VALUE; }

    bool watch(Request& request, std::function<void()> handler) {
        request.watch =
            std::make_unique<EventWatch>(request.block.hEvent, this, std::move(handler));
        return request.watch->isWatching();
    }

    void endWatches() {
        for (std::unique_ptr<Request>* request : {&m_read, &m_write, &m_wait})
            (*request)->watch.reset();
    }

    // Reads what the driver holds until a read has to wait; a read that comes back empty at
    // once (the driver holds nothing) waits for the next received character instead.
    void startReading() {
        while (isOpen() && !m_paused && !m_read->pending) {
            if (!::ReadFile(m_device, m_read->chunk.data(), kReadChunk, nullptr, &m_read->block) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                fail(::GetLastError());
                return;
            }
            m_read->pending = true;
            if (!HasOverlappedIoCompleted(&m_read->block))
                break;
            DWORD count = 0;
            const Outcome outcome = finish(*m_read, &count, m_receiveRestarted);
            if (outcome == Outcome::Failed)
                return;
            if (outcome == Outcome::Restart)
                continue;
            if (count == 0 && !waitForCharacter())
                break;
            received(count);
        }
        if (isOpen() && !m_received.isEmpty())
            emit readyRead();
    }

    void readDone() {
        if (!m_read->completed())
            return;
        DWORD count = 0;
        const Outcome outcome = finish(*m_read, &count, m_receiveRestarted);
        if (outcome == Outcome::Failed)
            return;
        if (outcome == Outcome::Done)
            received(count);
        startReading();
    }

    void received(DWORD count) {
        if (count == 0)
            return;
        m_receiveRestarted = false;
        m_received.append(m_read->chunk.data(), static_cast<qsizetype>(count));
    }

    // Waits for the next received character; true when characters are already waiting.
    bool waitForCharacter() {
        if (!m_wait->pending) {
            if (!::WaitCommEvent(m_device, &m_wait->events, &m_wait->block) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                fail(::GetLastError());
                return false;
            }
            m_wait->pending = true;
        }
        // A character that came in between the empty read and the wait raises no new event.
        COMSTAT status{};
        DWORD errors = 0;
        if (!m_api.clearCommError(m_device, &errors, &status)) {
            fail(::GetLastError());
            return false;
        }
        return status.cbInQue > 0;
    }

    void lineEventDone() {
        if (!m_wait->completed())
            return;
        DWORD unused = 0;
        const Outcome outcome = finish(*m_wait, &unused, m_receiveRestarted);
        if (outcome == Outcome::Failed)
            return;
        if (outcome == Outcome::Done)
            m_receiveRestarted = false;
        startReading();
    }

    void startWriting() {
        while (isOpen() && !m_write->pending && !m_queued.isEmpty()) {
            m_write->bytes.swap(m_queued);
            m_queued.clear();
            if (!::WriteFile(m_device, m_write->bytes.constData(),
                             static_cast<DWORD>(m_write->bytes.size()), nullptr, &m_write->block) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                fail(::GetLastError());
                return;
            }
            m_write->pending = true;
            if (!HasOverlappedIoCompleted(&m_write->block) || !collectWrite())
                return;
        }
    }

    void writeDone() {
        if (!m_write->completed())
            return;
        if (collectWrite())
            startWriting();
    }

    // Reports what a finished write sent; what an aborted write did not send goes out again.
    bool collectWrite() {
        DWORD count = 0;
        const Outcome outcome = finish(*m_write, &count, m_writeRestarted);
        if (outcome == Outcome::Failed)
            return false;
        if (outcome == Outcome::Done)
            m_writeRestarted = false;
        else
            m_queued.prepend(m_write->bytes.mid(count));
        if (count > 0)
            emit bytesWritten(count);
        return true;
    }

    // Collects a completed request; a failure gives the device up.
    Outcome finish(Request& request, DWORD* count, bool& restarted) {
        request.pending = false;
        const bool done = ::GetOverlappedResult(m_device, &request.block, count, FALSE);
        const DWORD code = done ? ERROR_SUCCESS : ::GetLastError();
        ::ResetEvent(request.block.hEvent);
        if (done)
            return Outcome::Done;
        if (code == ERROR_OPERATION_ABORTED && !restarted) {
            COMSTAT status{};
            DWORD errors = 0;
            if (m_api.clearCommError(m_device, &errors, &status)) {
                restarted = true;
                return Outcome::Restart;
            }
            fail(::GetLastError());
            return Outcome::Failed;
        }
        fail(code);
        return Outcome::Failed;
    }

    bool flushWithin(const QDeadlineTimer& deadline) {
        auto flush = std::make_shared<Flush>();
        flush->call = m_api.flushFileBuffers;
        const HANDLE process = ::GetCurrentProcess();
        HANDLE duplicate = nullptr;
        if (!::DuplicateHandle(process, m_device, process, &duplicate, 0, FALSE,
                               DUPLICATE_SAME_ACCESS))
            return false;
        flush->device = duplicate;
        auto* parameter = new std::shared_ptr<Flush>(flush);
        const HANDLE thread = ::CreateThread(nullptr, 0, &Flush::run, parameter, 0, nullptr);
        if (thread == nullptr) {
            delete parameter;
            return false;
        }
        // WAIT_TIMEOUT and WAIT_FAILED alike leave the flush running as far as this knows.
        DWORD waited = ::WaitForSingleObject(thread, remainingMs(deadline));
        if (waited != WAIT_OBJECT_0) {
            // Fails with ERROR_NOT_FOUND when the flush has just ended; the wait tells.
            ::CancelSynchronousIo(thread);
            waited = ::WaitForSingleObject(thread, kCancelWaitMs);
        }
        if (waited != WAIT_OBJECT_0)
            flush->closeDevice();
        ::CloseHandle(thread);
        return waited == WAIT_OBJECT_0 && flush->succeeded;
    }

    void fail(DWORD code) {
        const QString reason = systemMessage(code);
        release();
        emit failed(reason);
    }

    // Whether a cancelled request has finished within the time, so that its memory is free.
    bool finishedWithin(Request& request, const QDeadlineTimer& deadline) {
        DWORD unused = 0;
        if (m_api.getOverlappedResultEx(m_device, &request.block, &unused, remainingMs(deadline),
                                        FALSE))
            return true;
        const DWORD code = ::GetLastError();
        return code != WAIT_TIMEOUT && code != ERROR_IO_INCOMPLETE &&
               HasOverlappedIoCompleted(&request.block);
    }

    void release() {
        if (!isOpen())
            return;
        // Before the cancelling below completes the requests: nothing is handled from here on.
        endWatches();
        // What is left to send was either sent by the drain or discarded there; cancelling
        // ends a write still pending.
        ::PurgeComm(m_device, PURGE_RXABORT | PURGE_RXCLEAR);
        ::CancelIoEx(m_device, nullptr);
        // The driver writes into a request's memory until the cancelled request has finished;
        // a request it does not finish in time keeps its memory for good.
        const QDeadlineTimer deadline(kCancelWaitMs);
        for (std::unique_ptr<Request>* request : {&m_read, &m_write, &m_wait}) {
            if ((*request)->pending && !finishedWithin(**request, deadline)) {
                static_cast<void>(request->release());
                ++abandonedRequests;
            }
        }
        ::CloseHandle(m_device);
        m_device = INVALID_HANDLE_VALUE;
        m_queued.clear();
    }

    WinSerialApi m_api;
    HANDLE m_device = INVALID_HANDLE_VALUE;
    std::unique_ptr<Request> m_read;
    std::unique_ptr<Request> m_write;
    std::unique_ptr<Request> m_wait;
    bool m_receiveRestarted = false;
    bool m_writeRestarted = false;
    bool m_paused = false;
    QByteArray m_received;
    QByteArray m_queued;
};

} // namespace

BOOL waitUntilSent(HANDLE device) {
    static const bool wine = runningUnderWine();
    return wine ? TRUE : ::FlushFileBuffers(device);
}

void setWinSerialApi(WinSerialApi api) {
    const std::lock_guard lock(apiMutex);
    installedApi = std::move(api);
}

int abandonedSerialRequests() {
    return abandonedRequests;
}

std::unique_ptr<SerialDevice> createSerialDevice() {
    return std::make_unique<WinSerialDevice>();
}

} // namespace thermavo
