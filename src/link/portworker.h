#pragma once

#include "link/replyframer.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QTimer;

namespace thermavo {

class ComPort;
class SerialDevice;

// What the window thread and the worker share. The framer is kept here so that its armed setting
// outlives each open; every access goes through its mutex.
struct PortLinkShared {
    std::mutex framerMutex;
    ReplyFramer framer;

    std::mutex transmitMutex;
    std::vector<std::uint8_t> transmit;
    std::size_t inDriver = 0;
    bool wakePending = false;
    bool deviceLost = false;

    std::atomic<bool> stopping = false;
};

// Lives on the port's thread and owns the serial device there; the window thread never touches
// it.
class PortWorker : public QObject {
    Q_OBJECT

public:
    // The reply time-out is checked at least every 50 ms; each check wakes the thread.
    static constexpr int kTimeoutCheckMs = 40;
    // How long a closing port waits for the device to take the bytes queued before the close.
    static constexpr int kCloseDrainMs = 100;

    PortWorker(ComPort* owner, std::shared_ptr<PortLinkShared> shared,
               std::function<std::uint32_t()> tickCount);
    ~PortWorker() override;

    // Throws PortOpenError or PortIoError and then holds nothing.
    void openDevice(int number, int baud);
    // Discards what is not yet transmitted, releases the device and ends the thread.
    void shutdown();
    void transmit();

signals:
    void lost(const QString& reason);

private:
    void onReadyRead();
    void onTimeoutCheck();
    void onBytesWritten(qint64 count);
    void loseDevice(const QString& reason);
    void handOver(const QByteArray* reply);

    ComPort* m_owner;
    std::shared_ptr<PortLinkShared> m_shared;
    std::function<std::uint32_t()> m_tickCount;
    std::unique_ptr<SerialDevice> m_device;
    bool m_deviceOpen = false;
    QTimer* m_timeoutCheck = nullptr;
    std::unique_lock<std::mutex>* m_framerLock = nullptr;
};

} // namespace thermavo
