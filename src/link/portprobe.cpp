#include "link/portprobe.h"

#include "link/portmap.h"

#include <set>
#include <string_view>

#ifdef _WIN32
#include <QString>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>
#endif

namespace thermavo {

namespace {

bool presentByOpening(const std::string& device, const PortSystem& system) {
    const int code = system.openAndClose(device);
#ifdef _WIN32
    return code == 0 || code == ERROR_ACCESS_DENIED;
#else
    return code == 0 || code == EBUSY || code == EACCES || code == EPERM;
#endif
}

#ifdef _WIN32

std::string utf8(const wchar_t* text, std::size_t length) {
    return QString::fromWCharArray(text, static_cast<qsizetype>(length)).toStdString();
}

// "COM1" to "COM256" as Windows spells them, without leading zeros; letter case does not count.
std::optional<int> comNumber(std::string_view name) {
    if (name.size() < 4 || name.size() > 6 || name[3] == '0')
        return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i) {
        if ((name[i] & ~0x20) != "COM"[i])
            return std::nullopt;
    }
    int number = 0;
    for (const char digit : name.substr(3)) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        number = number * 10 + (digit - '0');
    }
    if (number < kFirstPortNumber || number > kLastPortNumber)
        return std::nullopt;
    return number;
}

// The COM ports Windows names as MS-DOS devices or in the SERIALCOMM key; none when neither
// answers.
std::optional<std::set<int>> namedPorts(const PortSystem& system) {
    const auto dosDevices = system.dosDeviceNames();
    const auto serialComm = system.serialCommPorts();
    if (!dosDevices && !serialComm)
        return std::nullopt;
    std::set<int> numbers;
    for (const auto* names : {&dosDevices, &serialComm}) {
        if (!*names)
            continue;
        for (const std::string& name : **names) {
            if (const auto number = comNumber(name))
                numbers.insert(*number);
        }
    }
    return numbers;
}

int openAndCloseDevice(const std::string& device) {
    const HANDLE handle = ::CreateFileW(QString::fromStdString(device).toStdWString().c_str(),
                                        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return static_cast<int>(::GetLastError());
    ::CloseHandle(handle);
    return 0;
}

std::optional<std::vector<std::string>> queryDosDeviceNames() {
    // The list is as long as the system's namespace; the buffer grows until it fits.
    constexpr std::size_t kLargestList = std::size_t{1} << 22;
    std::vector<wchar_t> buffer(std::size_t{1} << 14);
    for (;;) {
        const DWORD length =
            ::QueryDosDeviceW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length > 0) {
            std::vector<std::string> names;
            std::size_t start = 0;
            for (std::size_t i = 0; i < length; ++i) {
                if (buffer[i] != L'\0')
                    continue;
                if (i > start)
                    names.push_back(utf8(buffer.data() + start, i - start));
                start = i + 1;
            }
            return names;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= kLargestList)
            return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<std::vector<std::string>> readSerialCommPorts() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<std::string> ports;
    for (DWORD index = 0;; ++index) {
        // Value names are the drivers' device names, of any length; a port name longer than
        // the buffer is no COM name anyway.
        wchar_t name[256];
        DWORD nameLength = static_cast<DWORD>(std::size(name));
        wchar_t data[64] = {};
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG status = ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;
        if (type == REG_SZ)
            ports.push_back(utf8(data, ::wcsnlen(data, dataSize / sizeof(wchar_t))));
    }
    ::RegCloseKey(key);
    return ports;
}

#else

// ttyS followed by digits: a port of the serial driver, which makes a node for every port it
// could have, with or without a UART behind it.
bool isSerialDriverNode(std::string_view node) {
    constexpr std::string_view kPrefix = "ttyS";
    if (node.size() <= kPrefix.size() || node.substr(0, kPrefix.size()) != kPrefix)
        return false;
    for (const char c : node.substr(kPrefix.size())) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The serial type the driver reports; 0 (unknown) means that no UART answered.
bool uartBehind(const std::string& typeText) {
    bool digits = false;
    bool nonZero = false;
    for (const char c : typeText) {
        if (c >= '0' && c <= '9') {
            digits = true;
            nonZero = nonZero || c != '0';
        } else if (c != '\n' && c != ' ') {
            return false;
        }
    }
    return digits && nonZero;
}

int openAndCloseDevice(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

std::optional<std::string> deviceNodeOf(const std::string& path) {
    std::error_code error;
    const std::filesystem::path node = std::filesystem::canonical(path, error);
    if (error)
        return std::nullopt;
    return node.filename().string();
}

std::optional<std::string> readWholeText(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#endif

} // namespace

PortSystem PortSystem::real() {
    PortSystem system;
    system.openAndClose = openAndCloseDevice;
#ifdef _WIN32
    system.dosDeviceNames = queryDosDeviceNames;
    system.serialCommPorts = readSerialCommPorts;
#else
    system.deviceNode = deviceNodeOf;
    system.readText = readWholeText;
#endif
    return system;
}

bool isPortPresent(int number, const PortSystem& system) {
    const std::string device = devicePathForPort(number);
    if (device.empty())
        return false;
#ifdef _WIN32
    if (const auto named = namedPorts(system))
        return named->count(number) > 0;
    return presentByOpening(device, system);
#else
    const auto node = system.deviceNode(device);
    if (!node)
        return false;
    if (!isSerialDriverNode(*node))
        return true;
    if (const auto type = system.readText("/sys/class/tty/" + *node + "/type"))
        return uartBehind(*type);
    return presentByOpening(device, system);
#endif
}

bool portDeviceExists(int number) {
    return isPortPresent(number);
}

std::vector<int> presentPorts(const PortSystem& system) {
#ifdef _WIN32
    // One look at the system for all the numbers.
    if (const auto named = namedPorts(system))
        return {named->begin(), named->end()};
#endif
    return presentPorts([&system](int number) { return isPortPresent(number, system); });
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
