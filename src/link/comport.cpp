#include "link/comport.h"

#include "link/delaytimer.h"
#include "link/portdialog.h"
#include "link/portworker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
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

} // namespace

PortOpenError::PortOpenError(Reason reason)
    : std::runtime_error(reasonText(reason)), m_reason(reason) {}

ComPort::ComPort(QObject* parent)
    : QObject(parent), m_chooser([] { return askForPort(); }), m_tickCount(systemTickCount),
      m_shared(std::make_shared<PortLinkShared>()) {}

ComPort::~ComPort() {
    close();
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

void ComPort::open() {
    if (m_worker != nullptr)
        return;
    if (m_comNumber == 0) {
        const std::optional<int> chosen = m_chooser ? m_chooser() : std::nullopt;
        if (!chosen || *chosen < 1)
            throw PortOpenError(PortOpenError::Reason::NoPortSelected);
        m_comNumber = *chosen;
    }

    auto thread = std::make_unique<QThread>();
    auto worker = std::make_unique<PortWorker>(this, m_shared, m_tickCount);
    PortWorker* const target = worker.get();
    // Connected before the device opens: a device that fails at once is reported as well. The
    // report is queued, so it arrives once this open has finished.
    const std::uint64_t generation = ++m_generation;
    connect(
        target, &PortWorker::lost, this,
        [this, generation](const QString& reason) {
            if (generation == m_generation && m_worker != nullptr && !m_closing)
                emit portLost(reason);
        },
        Qt::QueuedConnection);
    worker->moveToThread(thread.get());
    thread->start();

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
        std::rethrow_exception(failure);
    }

    m_thread = thread.release();
    m_worker = worker.release();
}

void ComPort::close() {
    if (m_worker == nullptr || m_closing)
        return;
    if (m_handOverDepth > 0)
        throw PortIoError("The serial port cannot be closed while it hands over a reply");
    m_closing = true;
    m_shared->stopping = true;
    PortWorker* const worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker] { worker->shutdown(); }, Qt::QueuedConnection);
    while (!m_thread->wait(QDeadlineTimer(kCloseWaitSliceMs)))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    delete m_worker;
    delete m_thread;
    m_worker = nullptr;
    m_thread = nullptr;
    m_shared->stopping = false;
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
    if (!m_shared->wakePending) {
        m_shared->wakePending = true;
        PortWorker* const worker = m_worker;
        QMetaObject::invokeMethod(
            worker, [worker] { worker->transmit(); }, Qt::QueuedConnection);
    }
}

void ComPort::setFramerArmed(bool armed) {
    const std::lock_guard lock(m_shared->framerMutex);
    if (armed)
        m_shared->framer.arm();
    else
        m_shared->framer.disarm();
}

bool ComPort::framerArmed() const {
    const std::lock_guard lock(m_shared->framerMutex);
    return m_shared->framer.isArmed();
}

void ComPort::handOverReply(const QByteArray& reply) {
    handOver([this, &reply] { emit replyHandedOver(reply); });
}

void ComPort::handOverTimeout() {
    handOver([this] { emit timeoutHandedOver(); });
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
