#include "link/portprobe.h"

#include "link/portmap.h"

#ifdef _WIN32
#include <QSerialPort>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace thermavo {

bool isPortPresent(int number) {
    const std::string path = devicePathForPort(number);
    if (path.empty())
        return false;
#ifdef _WIN32
    QSerialPort port(QString::fromStdString(path));
    if (port.open(QIODevice::ReadWrite))
        return true;
    return port.error() == QSerialPort::PermissionError;
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return errno == EBUSY || errno == EACCES || errno == EPERM;
#endif
}

std::vector<int> presentPorts(const std::function<bool(int)>& isPresent) {
    std::vector<int> numbers;
    for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number) {
        if (isPresent(number))
            numbers.push_back(number);
    }
    return numbers;
}

} // namespace thermavo
