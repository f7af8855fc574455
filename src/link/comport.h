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

namespace thermavo {

class PortWorker;
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
// exclusively while open. While open, a worker thread owns the device: it reads, runs the reply
// framer with its time-out check, and transmits the bytes queued by SendByte. Replies and
// time-outs are handed to the thread that owns this object, and the worker waits until the
// handler (connected to replyHandedOver / timeoutHandedOver) has returned.
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
    // The framer's millisecond clock, read on the worker thread; the system tick count by default.
    void setTickSource(std::function<std::uint32_t()> tickCount);

    // Throws PortOpenError or PortIoError; on failure nothing is held and ComNumber is kept.
    void open();
    // Sends the bytes queued before it, giving the device a moment to take them (the stop
    // command must not be lost behind a waiting hand-over), then stops the worker and discards
    // what is still untransmitted. While waiting it keeps this thread
    // dispatching posted events, so a hand-over already waiting is delivered, not deadlocked.
    // From inside a reply or time-out handler it throws PortIoError: the worker waits for that
    // handler, so the close could never finish.
    void close();
    // True from a successful open until close, also after the device was lost.
    bool isOpen() const { return m_worker != nullptr; }

    // Queues one byte and returns at once. PortOpenError(PortNotOpen) when closed, PortIoError
    // when the transmit buffer is full; does nothing while closing or after the device was lost.
    void SendByte(std::uint8_t byte);

    // The framer's armed setting; kept across opening and closing. Safe to call from a handler.
    void setFramerArmed(bool armed);
    bool framerArmed() const;

    // Receives what a reply or time-out handler throws; Qt must never see it leave the hand-over.
    void setHandlerErrorReport(std::function<void(std::exception_ptr)> report);

    // A reply or time-out handler is running; the port cannot be closed until it returns.
    bool handingOver() const { return m_handOverDepth > 0; }

signals:
    // Emitted on this object's thread during a hand-over; the worker waits for the slots.
    void replyHandedOver(const QByteArray& reply);
    void timeoutHandedOver();
    // Queued, once per open, when the device fails while open (unplugged, other side hung up).
    void portLost(const QString& reason);
    // The last running hand-over has returned.
    void handOverFinished();

private:
    friend class PortWorker;
    void handOverReply(const QByteArray& reply);
    void handOverTimeout();
    void handOver(const std::function<void()>& emitEvent);

    int m_comNumber = 0;
    int m_baud = kDefaultBaud;
    std::function<std::optional<int>()> m_chooser;
    std::function<std::uint32_t()> m_tickCount;
    std::function<void(std::exception_ptr)> m_errorReport;
    std::shared_ptr<PortLinkShared> m_shared;
    QThread* m_thread = nullptr;
    PortWorker* m_worker = nullptr;
    bool m_closing = false;
    int m_handOverDepth = 0;
    std::uint64_t m_generation = 0;
};

} // namespace thermavo
