#include "link/portworker.h"

#include "link/comport.h"
#include "link/serialdevice.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace thermavo {

PortWorker::PortWorker(ComPort* owner, std::shared_ptr<PortLinkShared> shared,
                       std::function<std::uint32_t()> tickCount)
    : m_owner(owner), m_shared(std::move(shared)), m_tickCount(std::move(tickCount)) {}

PortWorker::~PortWorker() = default;

void PortWorker::openDevice(int number, int baud) {
    m_device = createSerialDevice();
    m_device->open(number, baud);
    m_deviceOpen = true;
    connect(m_device.get(), &SerialDevice::readyRead, this, &PortWorker::onReadyRead);
    connect(m_device.get(), &SerialDevice::failed, this, &PortWorker::loseDevice);
    connect(m_device.get(), &SerialDevice::bytesWritten, this, &PortWorker::onBytesWritten);
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
    if (!m_deviceOpen)
        return;
    const QByteArray bytes = m_device->readAll();
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
        if (!m_deviceOpen || bytes.empty())
            return;
        m_shared->inDriver += bytes.size();
    }
    m_device->write(QByteArray(reinterpret_cast<const char*>(bytes.data()),
                               static_cast<qsizetype>(bytes.size())));
}

void PortWorker::onBytesWritten(qint64 count) {
    const std::lock_guard lock(m_shared->transmitMutex);
    m_shared->inDriver -= std::min(m_shared->inDriver, static_cast<std::size_t>(count));
}

void PortWorker::loseDevice(const QString& reason) {
    if (!m_deviceOpen)
        return;
    // A dead descriptor stays readable forever; closing it is what keeps the thread from spinning.
    m_timeoutCheck->stop();
    m_device->disconnect(this);
    m_device->close();
    m_deviceOpen = false;
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
    if (m_deviceOpen) {
        // A device that hung up makes the clean-up below fail; that error must not reach
        // loseDevice, which would give the device up under this very call.
        m_device->disconnect(this);
        // The queued bytes waited only because the worker was busy with a hand-over.
        transmit();
        m_device->drainOrDiscard(kCloseDrainMs);
        m_device->close();
        m_deviceOpen = false;
    }
    m_device.reset();
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
