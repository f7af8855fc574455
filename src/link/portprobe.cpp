#include "link/portprobe.h"

#include "link/portmap.h"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
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
    const HANDLE device = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
        ::CloseHandle(device);
        return true;
    }
    return ::GetLastError() == ERROR_ACCESS_DENIED;
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return errno == EBUSY || errno == EACCES || errno == EPERM;
#endif
}

bool portDeviceExists(int number) {
#ifdef _WIN32
    return isPortPresent(number);
#else
    const std::string path = devicePathForPort(number);
    std::error_code error;
    return !path.empty() && std::filesystem::exists(path, error);
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
