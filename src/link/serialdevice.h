#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

namespace thermavo {

// The serial device the port's worker drives, on the platform's own serial API. It is created,
// used and destroyed on the worker's thread, and its signals arrive there.
class SerialDevice : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens port `number` exclusively at `baud`, 8N1 without flow control, binary, with DTR and
    // RTS raised. Throws PortOpenError (NoSuchPort, PortInUse) or PortIoError with the system's
    // text, and then holds nothing.
    virtual void open(int number, int baud) = 0;
    // What arrived since the last call.
    virtual QByteArray readAll() = 0;
    // While paused the device is not watched for received bytes, so they wake nobody; they wait
    // in the driver's queue. Resuming reads what is waiting at once, with readyRead.
    virtual void pauseReading(bool paused) = 0;
    // Queues bytes for transmission; bytesWritten reports what the device took.
    virtual void write(const QByteArray& bytes) = 0;
    // Gives the device up to `waitMs` to take the queued bytes, then discards what is left.
    virtual void drainOrDiscard(int waitMs) = 0;
    // Releases the device; does nothing when closed. No signal follows.
    virtual void close() = 0;

signals:
    void readyRead();
    void bytesWritten(qint64 count);
    // The device failed while open (unplugged, the other side hung up), with the system's text.
    void failed(const QString& reason);
};

// The device of this platform: Qt Serial Port on Linux, the Windows serial API on Windows.
std::unique_ptr<SerialDevice> createSerialDevice();

} // namespace thermavo
