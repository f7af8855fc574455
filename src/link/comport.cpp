#include "link/comport.h"

#include "link/delaytimer.h"
#include "link/portdialog.h"
#include "link/portworker.h"
#include "link/serialdevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>
#include <exception>
#include <utility>

namespace thermavo {

namespace {

constexpr int kCloseWaitSliceMs = 5;

const char* reasonText(PortOpenError::Reason reason) {
    switch (reason) {
    case PortOpenError::Reason::NoPortSelected:
        return "No serial port was selected";
    case PortOpenError::Reason::NoSuchPort:
        return "The serial port does not exist";
    case PortOpenError::Reason::PortInUse:
        return "The serial port is in use by another program";
    case PortOpenError::Reason::PortNotOpen:
        return "The serial port is not open";
    case PortOpenError::Reason::NoPermission:
        return "You may not open the serial port";
    }
    return "The serial port could not be opened";
}

// Marks the framer at work for as long as it lives.
class Examining {
public:
    explicit Examining(bool& flag) : m_flag(flag) { m_flag = true; }
    ~Examining() { m_flag = false; }
    Examining(const Examining&) = delete;
    Examining& operator=(const Examining&) = delete;

private:
    bool& m_flag;
};

} // namespace

PortOpenError::PortOpenError(Reason reason)
    : std::runtime_error(reasonText(reason)), m_reason(reason) {}

ComPort::ComPort(QObject* parent)
    : QObject(parent), m_chooser([] { return askForPort(); }), m_tickCount(systemTickCount),
      m_createDevice(createSerialDevice), m_shared(std::make_shared<PortLinkShared>()),
      m_replyTimeout(new QTimer(this)) {
    m_framer.setHandlers(
        [this](std::string_view text) {
            const QByteArray reply(text.data(), static_cast<qsizetype>(text.size()));
            handOver([this, &reply] { emit replyHandedOver(reply); });
        },
        [this] { handOver([this] { emit timeoutHandedOver(); }); });
    m_replyTimeout->setSingleShot(true);
    m_replyTimeout->setTimerType(Qt::PreciseTimer);
    connect(m_replyTimeout, &QTimer::timeout, this, &ComPort::replyTimeoutDue);
}

ComPort::~ComPort() {
    abandonPending();
    // Nobody is left to handle what is still queued.
    if (m_worker != nullptr && m_handOverDepth == 0 && !m_examining)
        shutDown();
}

void ComPort::setPortChooser(std::function<std::optional<int>()> chooser) {
    m_chooser = std::move(chooser);
}

void ComPort::setHandlerErrorReport(std::function<void(std::exception_ptr)> report) {
    m_errorReport = std::move(report);
}

void ComPort::setTickSource(std::function<std::uint32_t()> tickCount) {
    m_tickCount = std::move(tickCount);
}

void ComPort::setDeviceFactory(std::function<std::unique_ptr<SerialDevice>()> factory) {
    m_createDevice = std::move(factory);
}

void ComPort::choosePort() {
    if (m_comNumber != 0)
        return;
    const std::optional<int> chosen = m_chooser ? m_chooser() : std::nullopt;
    if (!chosen || *chosen < 1)
        throw PortOpenError(PortOpenError::Reason::NoPortSelected);
    m_comNumber = *chosen;
}

PortWorker* ComPort::startWorker(QThread*& thread) {
    // Each opening has queues of its own: a reader given up while its device still opens must
    // not touch those of the next one.
    m_shared = std::make_shared<PortLinkShared>();
    thread = new QThread;
    thread->setObjectName(QStringLiteral("link reader"));
    auto* const worker = new PortWorker(m_createDevice, m_shared, m_tickCount);
    // Connected before the device opens: a device that fails at once is reported as well. The
    // report is queued, so it arrives once this open has finished.
    const std::uint64_t generation = ++m_generation;
    connect(
        worker, &PortWorker::lost, this,
        [this, generation](const QString& reason) { reportLoss(generation, reason); },
        Qt::QueuedConnection);
    connect(worker, &PortWorker::received, this, &ComPort::handleReceived, Qt::QueuedConnection);
    worker->moveToThread(thread);
    thread->start();
    return worker;
}

void ComPort::open() {
    if (m_worker != nullptr)
        return;
    abandonPending();
    choosePort();

    QThread* thread = nullptr;
    PortWorker* const target = startWorker(thread);
    std::exception_ptr failure;
    const int number = m_comNumber;
    const int baud = m_baud;
    QMetaObject::invokeMethod(
        target,
        [target, number, baud, &failure] {
            try {
                target->openDevice(number, baud);
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure) {
        QMetaObject::invokeMethod(
            target, [target] { target->shutdown(); }, Qt::BlockingQueuedConnection);
        thread->wait();
        delete target;
        delete thread;
        discardReceived();
        std::rethrow_exception(failure);
    }

    m_thread = thread;
    m_worker = target;
}

void ComPort::openInBackground() {
    if (m_worker != nullptr || m_pendingWorker != nullptr)
        return;
    choosePort();
    PortWorker* const target = startWorker(m_pendingThread);
    m_pendingWorker = target;
    connect(
        target, &PortWorker::openFinished, this,
        [this, generation = m_generation](bool success, const QString& reason) {
            backgroundOpenFinished(generation, success, reason);
        },
        Qt::QueuedConnection);
    const int number = m_comNumber;
    const int baud = m_baud;
    QMetaObject::invokeMethod(
        target,
        [target, number, baud] {
            try {
                target->openDevice(number, baud);
            } catch (const std::exception& error) {
                emit target->openFinished(false, QString::fromUtf8(error.what()));
                return;
            }
            emit target->openFinished(true, QString());
        },
        Qt::QueuedConnection);
}

void ComPort::backgroundOpenFinished(std::uint64_t generation, bool success,
                                     const QString& reason) {
    if (generation != m_generation || m_pendingWorker == nullptr)
        return;
    if (!success) {
        abandonPending();
        discardReceived();
        emit openFailed(reason);
        return;
    }
    m_thread = std::exchange(m_pendingThread, nullptr);
    m_worker = std::exchange(m_pendingWorker, nullptr);
    emit opened();
}

void ComPort::abandonPending() {
    if (m_pendingWorker == nullptr)
        return;
    PortWorker* const worker = std::exchange(m_pendingWorker, nullptr);
    QThread* const thread = std::exchange(m_pendingThread, nullptr);
    // Its outcome, bytes and loss concern nobody now; it ends by itself behind the opening (the
    // shutdown waits in the thread's queue) and both are deleted once the thread has finished.
    worker->disconnect(this);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    QMetaObject::invokeMethod(
        worker, [worker] { worker->shutdown(); }, Qt::QueuedConnection);
}

void ComPort::reportLoss(std::uint64_t generation, const QString& reason) {
    if (generation != m_generation || m_worker == nullptr || m_closing)
        return;
    // The loss is handled by closing the port, which must wait until the framer has finished.
    if (m_handOverDepth > 0 || m_examining) {
        m_lossWaiting = reason;
        return;
    }
    emit portLost(reason);
}

void ComPort::close() {
    abandonPending();
    if (m_worker == nullptr || m_closing)
        return;
    if (m_handOverDepth > 0 || m_examining)
        throw PortIoError("The serial port cannot be closed while it hands over a reply");
    // What the board sent before the close is handled like everything before it.
    handleReceived();
    shutDown();
}

void ComPort::closeAtOnce() {
    abandonPending();
    if (m_worker == nullptr || m_closing)
        return;
    if (m_handOverDepth == 0 && !m_examining) {
        shutDown();
        return;
    }
    m_closing = true;
    stopWorker();
    m_closedUnderFramer = true;
    m_closing = false;
}

void ComPort::stopWorker() {
    PortWorker* const worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker] { worker->shutdown(); }, Qt::QueuedConnection);
    while (!m_thread->wait(QDeadlineTimer(kCloseWaitSliceMs)))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    delete m_worker;
    delete m_thread;
    m_worker = nullptr;
    m_thread = nullptr;
}

void ComPort::shutDown() {
    m_closing = true;
    stopWorker();
    discardReceived();
    m_lossWaiting.reset();
    m_framer.portClosed();
    followDeadline();
    m_closing = false;
}

void ComPort::SendByte(std::uint8_t byte) {
    if (m_closing)
        return;
    if (m_worker == nullptr)
        throw PortOpenError(PortOpenError::Reason::PortNotOpen);
    const std::lock_guard lock(m_shared->transmitMutex);
    if (m_shared->deviceLost)
        return;
    if (m_shared->transmit.size() + m_shared->inDriver >= kTransmitBufferSize)
        throw PortIoError("The transmit buffer of the serial port is full");
    m_shared->transmit.push_back(byte);
    if (!m_shared->transmitWakePending) {
        m_shared->transmitWakePending = true;
        PortWorker* const worker = m_worker;
        QMetaObject::invokeMethod(
            worker, [worker] { worker->transmit(); }, Qt::QueuedConnection);
    }
}

void ComPort::setFramerArmed(bool armed) {
    handleReceived();
    if (armed)
        m_framer.arm();
    else
        m_framer.disarm();
    if (!m_examining)
        followDeadline();
}

void ComPort::handleReceived() {
    if (m_handOverDepth > 0 || m_examining || m_closing)
        return;
    {
        const Examining examining(m_examining);
        // Bytes that arrive while the framer works here (a handler showing a box) are taken in
        // the next round, in order.
        while (!m_closedUnderFramer) {
            std::vector<ReceivedChunk> chunks;
            {
                const std::lock_guard lock(m_shared->receiveMutex);
                chunks.swap(m_shared->received);
                m_shared->wakePending = false;
            }
            if (chunks.empty())
                break;
            for (const ReceivedChunk& chunk : chunks) {
                if (m_closedUnderFramer)
                    break;
                m_framer.receive(std::string_view(chunk.bytes.constData(), chunk.bytes.size()),
                                 chunk.tickMs);
            }
        }
    }
    finishExamining();
}

void ComPort::finishExamining() {
    if (std::exchange(m_closedUnderFramer, false)) {
        discardReceived();
        m_lossWaiting.reset();
        m_framer.portClosed();
    }
    followDeadline();
    if (m_lossWaiting) {
        QMetaObject::invokeMethod(
            this,
            [this, generation = m_generation, reason = *std::exchange(m_lossWaiting, {})] {
                reportLoss(generation, reason);
            },
            Qt::QueuedConnection);
    }
}

void ComPort::replyTimeoutDue() {
    if (m_handOverDepth > 0 || m_examining || m_closing)
        return;
    // A reply whose end arrived before the deadline is delivered, not given up.
    handleReceived();
    {
        const Examining examining(m_examining);
        m_framer.checkTimeout(m_tickCount());
    }
    // Bytes that arrived while the time-out handler ran (showing a box) found the framer at work,
    // and their wake-up was spent: nothing would take them, nor anything after them, until
    // something else came here. They are handled now, as they would be after a reply handler.
    handleReceived();
}

void ComPort::followDeadline() {
    if (!m_framer.isCollecting()) {
        m_replyTimeout->stop();
        return;
    }
    m_replyTimeout->start(static_cast<int>(m_framer.msUntilTimeout(m_tickCount())));
}

void ComPort::discardReceived() {
    const std::lock_guard lock(m_shared->receiveMutex);
    m_shared->received.clear();
    m_shared->wakePending = false;
}

void ComPort::handOver(const std::function<void()>& emitEvent) {
    ++m_handOverDepth;
    try {
        emitEvent();
    } catch (...) {
        if (m_errorReport)
            m_errorReport(std::current_exception());
    }
    if (--m_handOverDepth == 0)
        emit handOverFinished();
}

} // namespace thermavo
