#include "link/comport.h"
#include "link/portmap.h"
#include "link/serialdevice.h"

#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

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
    std::error_code error;
    const std::filesystem::path device = std::filesystem::canonical(path, error);
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
        throw PortOpenError(PortOpenError::Reason::NoSuchPort);
    if (error == std::errc::permission_denied)
        throw PortOpenError(PortOpenError::Reason::NoPermission);
    if (error)
        throw PortIoError(error.message());
    // Qt reports a device this user may not open as it reports one that another program holds;
    // the system tells them apart without opening it.
    if (::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES)
        throw PortOpenError(PortOpenError::Reason::NoPermission);
    return QString::fromStdString(device.string());
}

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

class QtSerialDevice final : public SerialDevice {
public:
    void open(int number, int baud) override {
        auto port = std::make_unique<QSerialPort>();
        port->setPortName(resolveDevice(number));
        if (!port->open(QIODevice::ReadWrite))
            failOpen(*port);
        lockExclusively(*port);
        if (!port->setBaudRate(baud) || !port->setDataBits(QSerialPort::Data8) ||
            !port->setParity(QSerialPort::NoParity) || !port->setStopBits(QSerialPort::OneStop) ||
            !port->setFlowControl(QSerialPort::NoFlowControl))
            failOpen(*port);
        if (hasModemLines(*port) &&
            (!port->setDataTerminalReady(true) || !port->setRequestToSend(true)))
            failOpen(*port);

        m_port = std::move(port);
        // Qt Serial Port watches the device with a read notifier of its own, which it enables as
        // the port opens and, with no limit on its read buffer, never touches again: switching it
        // off is what keeps a pausing reader from being woken by every arriving byte.
        for (auto* notifier : m_port->findChildren<QSocketNotifier*>(Qt::FindDirectChildrenOnly)) {
            if (notifier->type() == QSocketNotifier::Read)
                m_readNotifier = notifier;
        }
        connect(m_port.get(), &QSerialPort::readyRead, this, &SerialDevice::readyRead);
        connect(m_port.get(), &QSerialPort::bytesWritten, this, &SerialDevice::bytesWritten);
        connect(m_port.get(), &QSerialPort::errorOccurred, this,
                [this](QSerialPort::SerialPortError error) {
                    if (error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
                        error == QSerialPort::ResourceError)
                        emit failed(m_port->errorString());
                });
    }

    QByteArray readAll() override { return m_port ? m_port->readAll() : QByteArray(); }

    void pauseReading(bool paused) override {
        if (m_readNotifier)
            m_readNotifier->setEnabled(!paused);
    }

    void write(const QByteArray& bytes) override {
        if (m_port)
            m_port->write(bytes);
    }

    void drainOrDiscard(int waitMs) override {
        if (m_port && m_port->bytesToWrite() > 0 && !m_port->waitForBytesWritten(waitMs))
            m_port->clear(QSerialPort::Output);
    }

    void close() override {
        if (!m_port)
            return;
        // A device that hung up fails its clean-up; that error must not come back as a signal.
        // The device may be given up from inside its own signal, so it is freed later.
        m_port->disconnect(this);
        m_port->close();
        m_port.release()->deleteLater();
    }

    ~QtSerialDevice() override {
        if (m_port) {
            m_port->disconnect(this);
            m_port->close();
        }
    }

private:
    std::unique_ptr<QSerialPort> m_port;
    QPointer<QSocketNotifier> m_readNotifier;
};

} // namespace

std::unique_ptr<SerialDevice> createSerialDevice() {
    return std::make_unique<QtSerialDevice>();
}

} // namespace thermavo
