#include "link/comport.h"
#include "link/portmap.h"
#include "link/serialdevice.h"

#include <QDeadlineTimer>
#include <QWinEventNotifier>
#include <optional>
#include <windows.h>

namespace thermavo {

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kReadChunk = 256;

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

// One overlapped operation with its event, watched by the worker's event loop.
struct Overlapped {
    OVERLAPPED block{};
    QWinEventNotifier* notifier = nullptr;
    bool pending = false;

    Overlapped() { block.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        delete notifier;
        ::CloseHandle(block.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    // An activation can be left over from an operation that completed at once; its event is
    // cleared so that the notifier does not fire again and again.
    bool completed() {
        if (pending && HasOverlappedIoCompleted(&block))
            return true;
        if (!pending)
            ::ResetEvent(block.hEvent);
        return false;
    }
};

class WinSerialDevice final : public SerialDevice {
public:
    WinSerialDevice() {
        for (Overlapped* operation : {&m_read, &m_write, &m_lineEvent}) {
            operation->notifier = new QWinEventNotifier(operation->block.hEvent);
            operation->notifier->setEnabled(false);
        }
        connect(m_read.notifier, &QWinEventNotifier::activated, this, [this] { readDone(); });
        connect(m_write.notifier, &QWinEventNotifier::activated, this, [this] { writeDone(); });
        connect(m_lineEvent.notifier, &QWinEventNotifier::activated, this,
                [this] { lineEventDone(); });
    }

    ~WinSerialDevice() override { release(); }

    void open(int number, int baud) override {
        const std::string path = devicePathForPort(number);
        if (path.empty())
            throw PortOpenError(PortOpenError::Reason::NoSuchPort);
        const HANDLE device = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            failOpen(::GetLastError());
        if (!::SetupComm(device, kQueueSize, kQueueSize) || !applyLineSettings(device, baud)) {
            const DWORD code = ::GetLastError();
            ::CloseHandle(device);
            failOpen(code);
        }
        m_device = device;
        for (Overlapped* operation : {&m_read, &m_write, &m_lineEvent})
            operation->notifier->setEnabled(true);
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
        if (!m_write.pending)
            startWriting();
    }

    void drainOrDiscard(int waitMs) override {
        const QDeadlineTimer deadline(waitMs);
        while (isOpen() && m_write.pending) {
            const auto left = static_cast<DWORD>(deadline.remainingTime());
            if (::WaitForSingleObject(m_write.block.hEvent, left) != WAIT_OBJECT_0)
                break;
            writeDone();
        }
        m_queued.clear();
        if (isOpen())
            ::PurgeComm(m_device, PURGE_TXABORT | PURGE_TXCLEAR);
    }

    void close() override { release(); }

private:
    bool isOpen() const { return m_device != INVALID_HANDLE_VALUE; }

    // Reads what the driver holds until a read has to wait; a read that comes back empty at
    // once (the driver holds nothing) waits for the next received character instead.
    void startReading() {
        while (isOpen() && !m_paused && !m_read.pending) {
            DWORD count = 0;
            if (!::ReadFile(m_device, m_chunk, kReadChunk, nullptr, &m_read.block) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                fail(::GetLastError());
                return;
            }
            m_read.pending = true;
            if (!HasOverlappedIoCompleted(&m_read.block))
                break;
            if (!finish(m_read, &count))
                return;
            if (count == 0 && !waitForCharacter())
                break;
            m_received.append(m_chunk, static_cast<qsizetype>(count));
        }
        if (isOpen() && !m_received.isEmpty())
            emit readyRead();
    }

    void readDone() {
        if (!m_read.completed())
            return;
        DWORD count = 0;
        if (!finish(m_read, &count))
            return;
        m_received.append(m_chunk, static_cast<qsizetype>(count));
        startReading();
    }

    // Waits for the next received character; true when characters are already waiting.
    bool waitForCharacter() {
        if (!m_lineEvent.pending) {
            if (!::WaitCommEvent(m_device, &m_events, &m_lineEvent.block) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                fail(::GetLastError());
                return false;
            }
            m_lineEvent.pending = true;
        }
        // A character that came in between the empty read and the wait raises no new event.
        COMSTAT status{};
        DWORD errors = 0;
        return ::ClearCommError(m_device, &errors, &status) && status.cbInQue > 0;
    }

    void lineEventDone() {
        if (!m_lineEvent.completed())
            return;
        DWORD unused = 0;
        if (finish(m_lineEvent, &unused))
            startReading();
    }

    void startWriting() {
        while (isOpen() && !m_write.pending && !m_queued.isEmpty()) {
            m_writing.swap(m_queued);
            m_queued.clear();
            if (!::WriteFile(m_device, m_writing.constData(), static_cast<DWORD>(m_writing.size()),
                             nullptr, &m_write.block) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                fail(::GetLastError());
                return;
            }
            m_write.pending = true;
            if (!HasOverlappedIoCompleted(&m_write.block))
                return;
            DWORD count = 0;
            if (!finish(m_write, &count))
                return;
            emit bytesWritten(count);
        }
    }

    void writeDone() {
        if (!m_write.completed())
            return;
        DWORD count = 0;
        if (!finish(m_write, &count))
            return;
        emit bytesWritten(count);
        startWriting();
    }

    // Collects a completed operation; a failure gives the device up.
    bool finish(Overlapped& operation, DWORD* count) {
        operation.pending = false;
        const bool done = ::GetOverlappedResult(m_device, &operation.block, count, FALSE);
        const DWORD code = done ? ERROR_SUCCESS : ::GetLastError();
        ::ResetEvent(operation.block.hEvent);
        if (done)
            return true;
        if (code != ERROR_OPERATION_ABORTED)
            fail(code);
        return false;
    }

    void fail(DWORD code) {
        const QString reason = systemMessage(code);
        release();
        emit failed(reason);
    }

    void release() {
        if (!isOpen())
            return;
        ::PurgeComm(m_device, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        ::CancelIo(m_device);
        // The driver writes into the buffers until a cancelled operation has finished.
        for (Overlapped* operation : {&m_read, &m_write, &m_lineEvent}) {
            operation->notifier->setEnabled(false);
            DWORD unused = 0;
            if (operation->pending)
                ::GetOverlappedResult(m_device, &operation->block, &unused, TRUE);
            operation->pending = false;
        }
        ::CloseHandle(m_device);
        m_device = INVALID_HANDLE_VALUE;
        m_queued.clear();
        m_writing.clear();
    }

    HANDLE m_device = INVALID_HANDLE_VALUE;
    Overlapped m_read;
    Overlapped m_write;
    Overlapped m_lineEvent;
    DWORD m_events = 0;
    bool m_paused = false;
    char m_chunk[kReadChunk] = {};
    QByteArray m_received;
    QByteArray m_queued;
    QByteArray m_writing;
};

} // namespace

std::unique_ptr<SerialDevice> createSerialDevice() {
    return std::make_unique<WinSerialDevice>();
}

} // namespace thermavo
