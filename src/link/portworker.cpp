#include "link/portworker.h"

#include "link/serialdevice.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace thermavo {

PortWorker::PortWorker(DeviceFactory createDevice, std::shared_ptr<PortLinkShared> shared,
                       std::function<std::uint32_t()> tickCount)
    : m_createDevice(std::move(createDevice)), m_shared(std::move(shared)),
      m_tickCount(std::move(tickCount)) {}

PortWorker::~PortWorker() = default;

void PortWorker::openDevice(int number, int baud) {
    m_device = m_createDevice();
    m_device->open(number, baud);
    m_deviceOpen = true;
    connect(m_device.get(), &SerialDevice::readyRead, this, &PortWorker::onReadyRead);
    connect(m_device.get(), &SerialDevice::failed, this, &PortWorker::loseDevice);
    connect(m_device.get(), &SerialDevice::bytesWritten, this, &PortWorker::onBytesWritten);
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->transmit.clear();
        m_shared->inDriver = 0;
        m_shared->transmitWakePending = false;
        m_shared->deviceLost = false;
    }
    m_gather = new QTimer(this);
    m_gather->setSingleShot(true);
    m_gather->setTimerType(Qt::PreciseTimer);
    m_gather->setInterval(kGatherMs);
    connect(m_gather, &QTimer::timeout, this, [this] {
        if (m_deviceOpen)
            m_device->pauseReading(false);
    });
}

void PortWorker::onReadyRead() {
    if (!m_deviceOpen)
        return;
    QByteArray bytes = m_device->readAll();
    if (bytes.isEmpty())
        return;
    const bool readOn = bytes.size() >= kReadOnAtBytes;
    bool wake = false;
    {
        const std::lock_guard lock(m_shared->receiveMutex);
        m_shared->received.push_back({m_tickCount(), std::move(bytes)});
        wake = !std::exchange(m_shared->wakePending, true);
    }
    // Queued: the window thread takes the bytes when it comes to it; the reader goes on.
    if (wake)
        emit received();
    if (!readOn) {
        m_device->pauseReading(true);
        m_gather->start();
    }
}

void PortWorker::transmit() {
    std::vector<std::uint8_t> bytes;
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->transmitWakePending = false;
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
    m_gather->stop();
    m_device->disconnect(this);
    m_device->close();
    m_deviceOpen = false;
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->transmit.clear();
        m_shared->inDriver = 0;
        m_shared->deviceLost = true;
    }
    emit lost(reason);
}

void PortWorker::shutdown() {
    if (m_deviceOpen) {
        // A device that hung up makes the clean-up below fail; that error must not reach
        // loseDevice, which would give the device up under this very call.
        m_device->disconnect(this);
        // Bytes queued just before the close may not have reached the device yet.
        transmit();
        m_device->drainOrDiscard(kCloseDrainMs);
        m_device->close();
        m_deviceOpen = false;
    }
    m_device.reset();
    delete m_gather;
    m_gather = nullptr;
    {
        const std::lock_guard lock(m_shared->transmitMutex);
        m_shared->transmit.clear();
        m_shared->inDriver = 0;
    }
    thread()->quit();
}

} // namespace thermavo
