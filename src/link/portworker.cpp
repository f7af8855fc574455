#include "link/portworker.h"

#include "link/comport.h"
#include "link/portmap.h"

#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <sys/file.h>
#include <sys/ioctl.h>
#endif

namespace thermavo {

namespace {

struct OpenFailure {
    QSerialPort::SerialPortError error;
    PortOpenError::Reason reason;
};

// Errors of the device's opening that the user is told as a port-open reason; any other error
// keeps the system's text.
constexpr OpenFailure kOpenFailures[] = {
    {QSerialPort::DeviceNotFoundError, PortOpenError::Reason::NoSuchPort},
    {QSerialPort::PermissionError, PortOpenError::Reason::PortInUse},
    {QSerialPort::OpenError, PortOpenError::Reason::PortInUse},
};

std::optional<PortOpenError::Reason> openFailureReason(QSerialPort::SerialPortError error) {
    for (const OpenFailure& failure : kOpenFailures) {
        if (failure.error == error)
            return failure.reason;
    }
    return std::nullopt;
}

[[noreturn]] void failOpen(QSerialPort& port) {
    const QSerialPort::SerialPortError error = port.error();
    const std::string text = port.errorString().toStdString();
    port.close();
    if (const auto reason = openFailureReason(error))
        throw PortOpenError(*reason);
    throw PortIoError(text);
}

// A symlink in the port folder names the device; resolving it gives Qt's lock file the device's
// own name, so two numbers linked to one device still exclude each other.
QString resolveDevice(int number) {
    const std::string path = devicePathForPort(number);
    if (path.empty())
        throw PortOpenError(PortOpenError::Reason::NoSuchPort);
#ifdef _WIN32
    return QString::fromStdString(path);
#else
    std::error_code error;
    const std::filesystem::path device = std::filesystem::canonical(path, error);
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
        throw PortOpenError(PortOpenError::Reason::NoSuchPort);
    if (error == std::errc::permission_denied)
        throw PortOpenError(PortOpenError::Reason::PortInUse);
    if (error)
        throw PortIoError(error.message());
    return QString::fromStdString(device.string());
#endif
}

#ifndef _WIN32
// Root ignores TIOCEXCL, so a lock on the device itself keeps a second opener out as well.
void lockExclusively(QSerialPort& port) {
    if (::flock(static_cast<int>(port.handle()), LOCK_EX | LOCK_NB) == 0)
        return;
    const int code = errno;
    port.close();
    if (code == EWOULDBLOCK)
        throw PortOpenError(PortOpenError::Reason::PortInUse);
    throw PortIoError(std::strerror(code));
}

// A pseudo-terminal has no modem lines; only a device that has them must get them raised.
bool hasModemLines(QSerialPort& port) {
    int lines = 0;
    if (::ioctl(static_cast<int>(port.handle()), TIOCMGET, &lines) == 0)
        return true;
    const int code = errno;
    if (code == ENOTTY || code == EINVAL)
        return false;
    port.close();
    throw PortIoError(std::strerror(code));
}
#endif

} // namespace

PortWorker::PortWorker(ComPort* owner, std::shared_ptr<PortLinkShared> shared,
                       std::function<std::uint32_t()> tickCount)
    : m_owner(owner), m_shared(std::move(shared)), m_tickCount(std::move(tickCount)) {}

void PortWorker::openDevice(int number, int baud) {
    auto port = std::make_unique<QSerialPort>(this);
    port->setPortName(resolveDevice(number));
    if (!port->open(QIODevice::ReadWrite))
        failOpen(*port);
#ifndef _WIN32
    lockExclusively(*port);
#endif
    if (!port->setBaudRate(baud) || !port->setDataBits(QSerialPort::Data8) ||
        !port->setParity(QSerialPort::NoParity) || !port->setStopBits(QSerialPort::OneStop) ||
        !port->setFlowControl(QSerialPort::NoFlowControl))
        failOpen(*port);
#ifndef _WIN32
    const bool raiseLines = hasModemLines(*port);
#else
    const bool raiseLines = true;
#endif
    if (raiseLines && (!port->setDataTerminalReady(true) || !port->setRequestToSend(true)))
        failOpen(*port);

    m_port = port.release();
    connect(m_port, &QSerialPort::readyRead, this, &PortWorker::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &PortWorker::onError);
    connect(m_port, &QSerialPort::bytesWritten, this, &PortWorker::onBytesWritten);
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->transmit.clear();
        m_shared->inDriver = 0;
        m_shared->wakePending = false;
        m_shared->deviceLost = false;
    }
    {
        const std::lock_guard lock(m_shared->framerMutex);
        m_shared->framer.portClosed();
        m_shared->framer.setHandlers(
            [this](std::string_view text) {
                const QByteArray reply(text.data(), static_cast<qsizetype>(text.size()));
                handOver(&reply);
            },
            [this] { handOver(nullptr); });
    }
    m_timeoutCheck = new QTimer(this);
    m_timeoutCheck->setTimerType(Qt::PreciseTimer);
    connect(m_timeoutCheck, &QTimer::timeout, this, &PortWorker::onTimeoutCheck);
    m_timeoutCheck->start(kTimeoutCheckMs);
}

void PortWorker::handOver(const QByteArray* reply) {
    // Once a close has begun only the hand-over already waiting is still delivered.
    if (m_shared->stopping)
        return;
    // The window thread arms and disarms the framer from inside its handler, so the lock is
    // released for the hand-over and taken again before the framer looks at the next byte.
    m_framerLock->unlock();
    struct Relock {
        std::unique_lock<std::mutex>& lock;
        ~Relock() { lock.lock(); }
    } relock{*m_framerLock};
    ComPort* owner = m_owner;
    if (reply != nullptr)
        QMetaObject::invokeMethod(
            owner, [owner, reply] { owner->handOverReply(*reply); }, Qt::BlockingQueuedConnection);
    else
        QMetaObject::invokeMethod(
            owner, [owner] { owner->handOverTimeout(); }, Qt::BlockingQueuedConnection);
}

void PortWorker::onReadyRead() {
    if (m_port == nullptr)
        return;
    const QByteArray bytes = m_port->readAll();
    if (bytes.isEmpty() || m_shared->stopping)
        return;
    std::unique_lock lock(m_shared->framerMutex);
    m_framerLock = &lock;
    m_shared->framer.receive(std::string_view(bytes.constData(), bytes.size()), m_tickCount());
    m_framerLock = nullptr;
}

void PortWorker::onTimeoutCheck() {
    if (m_shared->stopping)
        return;
    std::unique_lock lock(m_shared->framerMutex);
    m_framerLock = &lock;
    m_shared->framer.checkTimeout(m_tickCount());
    m_framerLock = nullptr;
}

void PortWorker::transmit() {
    std::vector<std::uint8_t> bytes;
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->wakePending = false;
        bytes.swap(m_shared->transmit);
        if (m_port == nullptr || bytes.empty())
            return;
        m_shared->inDriver += bytes.size();
    }
    m_port->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
}

void PortWorker::onBytesWritten(qint64 count) {
    const std::lock_guard lock(m_shared->transmitMutex);
    m_shared->inDriver -= std::min(m_shared->inDriver, static_cast<std::size_t>(count));
}

void PortWorker::onError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
        error == QSerialPort::ResourceError)
        loseDevice(m_port->errorString());
}

void PortWorker::loseDevice(const QString& reason) {
    if (m_port == nullptr)
        return;
    // A dead descriptor stays readable forever; closing it is what keeps the thread from spinning.
    m_timeoutCheck->stop();
    m_port->disconnect(this);
    m_port->close();
    m_port->deleteLater();
    m_port = nullptr;
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->transmit.clear();
        m_shared->inDriver = 0;
        m_shared->deviceLost = true;
    }
    {
        const std::lock_guard lock(m_shared->framerMutex);
        m_shared->framer.portClosed();
    }
    emit lost(reason);
}

void PortWorker::shutdown() {
    if (m_port != nullptr) {
        // A device that hung up makes the clean-up below fail; that error must not reach
        // loseDevice, which would free the port under this very call.
        m_port->disconnect(this);
        // The queued bytes waited only because the worker was busy with a hand-over.
        transmit();
        if (m_port->bytesToWrite() > 0 && !m_port->waitForBytesWritten(kCloseDrainMs))
            m_port->clear(QSerialPort::Output);
        m_port->close();
        delete m_port;
        m_port = nullptr;
    }
    delete m_timeoutCheck;
    m_timeoutCheck = nullptr;
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->transmit.clear();
        m_shared->inDriver = 0;
    }
    {
        const std::lock_guard lock(m_shared->framerMutex);
        m_shared->framer.portClosed();
        m_shared->framer.setHandlers({}, {});
    }
    thread()->quit();
}

} // namespace thermavo
