#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QTimer;

namespace thermavo {

class SerialDevice;

// Bytes as the reader took them from the device, with the link's clock at that moment.
struct ReceivedChunk {
    std::uint32_t tickMs = 0;
    QByteArray bytes;
};

// What the window thread and the reader share, each part under its own mutex.
struct PortLinkShared {
    // The unbounded receive queue: the reader appends, the window thread takes it all at once.
    std::mutex receiveMutex;
    std::vector<ReceivedChunk> received;
    // The window thread has been woken for the queue and has not taken it yet.
    bool wakePending = false;

    std::mutex transmitMutex;
    std::vector<std::uint8_t> transmit;
    std::size_t inDriver = 0;
    bool transmitWakePending = false;
    bool deviceLost = false;
};

// The reader: lives on the port's thread and owns the serial device there; the window thread
// never touches it. It only reads into the receive queue and transmits the transmit buffer, and
// never waits for the window thread.
class PortWorker : public QObject {
    Q_OBJECT

public:
    // After taking what arrived, the reader leaves the device alone this long, so that a board
    // sending back to back wakes it once for many replies; the driver holds the bytes meanwhile.
    static constexpr int kGatherMs = 50;
    // A take this large (a board's line brings about 300 bytes in 50 ms) means the bytes come
    // faster than that: the reader reads on at once rather than let the driver's queue fill up,
    // which on Linux holds 4096 bytes per read.
    static constexpr qsizetype kReadOnAtBytes = 1024;
    // How long a closing port waits for the device to take the bytes queued before the close.
    static constexpr int kCloseDrainMs = 100;

    using DeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

    PortWorker(DeviceFactory createDevice, std::shared_ptr<PortLinkShared> shared,
               std::function<std::uint32_t()> tickCount);
    ~PortWorker() override;

    // Throws PortOpenError or PortIoError and then holds nothing.
    void openDevice(int number, int baud);
    // Discards what is not yet transmitted, releases the device and ends the thread.
    void shutdown();
    void transmit();

signals:
    void lost(const QString& reason);
    // Bytes were put into the empty receive queue: the window thread is to take them.
    void received();
    // An opening asked for with openInBackground has ended; `reason` is the failure's text.
    void openFinished(bool opened, const QString& reason);

private:
    void onReadyRead();
    void onBytesWritten(qint64 count);
    void loseDevice(const QString& reason);

    DeviceFactory m_createDevice;
    std::shared_ptr<PortLinkShared> m_shared;
    std::function<std::uint32_t()> m_tickCount;
    std::unique_ptr<SerialDevice> m_device;
    bool m_deviceOpen = false;
    QTimer* m_gather = nullptr;
};

} // namespace thermavo
