#pragma once

#include "link/replyframer.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

class QByteArray;
class QThread;
class QTimer;

namespace thermavo {

class PortWorker;
class SerialDevice;
struct PortLinkShared;

// The errors of a failed opening that the on-line switch reports to the user. NoPermission: the
// device is there, but this user may not open it (on Linux, not in the group that owns it).
class PortOpenError : public std::runtime_error {
public:
    enum class Reason { NoPortSelected, NoSuchPort, PortInUse, PortNotOpen, NoPermission };
    explicit PortOpenError(Reason reason);
    Reason reason() const { return m_reason; }

private:
    Reason m_reason;
};

// Any other failure of the port, carrying the system's text.
class PortIoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One serial port, opened only on request, 8N1 without flow control, DTR and RTS raised, held
// exclusively while open. While open, a reader thread owns the device: it reads what arrives into
// an unbounded receive queue, transmits the bytes queued by SendByte, and never waits for this
// object's thread. The reply framer examines the queued bytes on this object's thread, where its
// handlers (connected to replyHandedOver / timeoutHandedOver) run one at a time; it never runs
// inside one of them, so bytes that arrive while a handler runs (or shows a box) wait in the queue.
class ComPort : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultBaud = 57600;
    static constexpr std::size_t kTransmitBufferSize = 4096;

    explicit ComPort(QObject* parent = nullptr);
    ~ComPort() override;

    int ComNumber() const { return m_comNumber; }
    void setComNumber(int number) { m_comNumber = number; }
    int Baud() const { return m_baud; }
    void setBaud(int baud) { m_baud = baud; }

    // Asked for a port number when opening with none chosen; the port dialog by default.
    void setPortChooser(std::function<std::optional<int>()> chooser);
    // The framer's millisecond clock; the reader reads it as bytes arrive, so it must be safe to
    // call from another thread. The system tick count by default.
    void setTickSource(std::function<std::uint32_t()> tickCount);

    // Makes the device of each opening, on the port's own thread; the platform's by default.
    void setDeviceFactory(std::function<std::unique_ptr<SerialDevice>()> factory);

    // Throws PortOpenError or PortIoError; on failure nothing is held and ComNumber is kept.
    // Waits for the device to open.
    void open();
    // Opens without waiting: the device is opened on the port's own thread, so one that takes
    // seconds to open or to fail (a paired Bluetooth port out of range) holds up nobody here.
    // Returns at once; opened() or openFailed() follows, queued. Throws what open() throws before
    // the device is tried; does nothing while open or opening.
    void openInBackground();
    // An opening in the background is under way; the port is not open yet.
    bool opening() const { return m_pendingWorker != nullptr; }
    // Handles the replies already received, then sends the bytes queued before it, giving the
    // device a moment to take them, stops the reader and discards what is still untransmitted or
    // unexamined. While waiting it keeps this thread dispatching events. From inside a reply or
    // time-out handler it throws PortIoError: the framer is still at work under that handler.
    // An opening under way is given up at once, without waiting: its thread releases the device
    // by itself once the system's call returns, and neither opened() nor openFailed() follows.
    void close();
    // For the end of the session: sends the bytes queued, gives the device a moment to take
    // them and releases it now, also from inside a reply or time-out handler, whose box nobody
    // may click away in time. What is still unexamined is discarded; the framer's part of the
    // close follows once it has finished.
    void closeAtOnce();
    // True from a successful open until close, also after the device was lost.
    bool isOpen() const { return m_worker != nullptr; }

    // Queues one byte and returns at once. PortOpenError(PortNotOpen) when closed, PortIoError
    // when the transmit buffer is full; does nothing while closing or after the device was lost.
    void SendByte(std::uint8_t byte);

    // The framer's armed setting; kept across opening and closing. Bytes received before the
    // change are examined first, under the setting they arrived under; from inside a handler the
    // change takes effect before the framer examines the next byte.
    void setFramerArmed(bool armed);
    bool framerArmed() const { return m_framer.isArmed(); }

    // Examines every byte received so far, raising the reply and time-out events among them in
    // order. Does nothing inside one of the framer's own handlers; the framer goes on after it.
    void handleReceived();

    // The single-shot timer set to the moment the reply being collected would time out; it runs
    // only while a reply is being collected.
    QTimer& replyTimeoutTimer() { return *m_replyTimeout; }

    // Receives what a reply or time-out handler throws; Qt must never see it leave the framer.
    void setHandlerErrorReport(std::function<void(std::exception_ptr)> report);

    // A reply or time-out handler is running; the port cannot be closed until it returns.
    bool handingOver() const { return m_handOverDepth > 0; }

signals:
    // Emitted on this object's thread by the framer; the next byte waits for the slots.
    void replyHandedOver(const QByteArray& reply);
    void timeoutHandedOver();
    // Queued, once per open, when the device fails while open (unplugged, other side hung up).
    void portLost(const QString& reason);
    // The last running hand-over has returned.
    void handOverFinished();
    // The opening in the background has ended: the port is open, or nothing is held.
    void opened();
    void openFailed(const QString& reason);

private:
    void choosePort();
    PortWorker* startWorker(QThread*& thread);
    void backgroundOpenFinished(std::uint64_t generation, bool success, const QString& reason);
    void abandonPending();
    void handOver(const std::function<void()>& emitEvent);
    void replyTimeoutDue();
    void shutDown();
    void stopWorker();
    void finishExamining();
    void followDeadline();
    void discardReceived();
    void reportLoss(std::uint64_t generation, const QString& reason);

    int m_comNumber = 0;
    int m_baud = kDefaultBaud;
    std::function<std::optional<int>()> m_chooser;
    std::function<std::uint32_t()> m_tickCount;
    std::function<void(std::exception_ptr)> m_errorReport;
    std::function<std::unique_ptr<SerialDevice>()> m_createDevice;
    std::shared_ptr<PortLinkShared> m_shared;
    ReplyFramer m_framer;
    QTimer* m_replyTimeout = nullptr;
    QThread* m_thread = nullptr;
    PortWorker* m_worker = nullptr;
    // The thread and reader of an opening in the background, until it ends.
    QThread* m_pendingThread = nullptr;
    PortWorker* m_pendingWorker = nullptr;
    bool m_closing = false;
    int m_handOverDepth = 0;
    // The framer is at work: its buffer must not be touched, nor the framer entered again.
    bool m_examining = false;
    // The port was closed at once under the framer, which is told once it has finished.
    bool m_closedUnderFramer = false;
    // A loss reported while the framer was at work, told once it has finished.
    std::optional<QString> m_lossWaiting;
    std::uint64_t m_generation = 0;
};

} // namespace thermavo
