#include "link/portmap.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace thermavo {

namespace {

struct DeviceRange {
    int firstNumber;
    const char* prefix;
};

constexpr DeviceRange kDeviceRanges[] = {
    {1, "/dev/ttyS"},
    {33, "/dev/ttyUSB"},
    {65, "/dev/ttyACM"},
};
constexpr int kDevicesPerRange = 32;

} // namespace

std::string portFolder(const char* xdgConfigHome, const char* home) {
    std::string base;
    if (xdgConfigHome != nullptr && *xdgConfigHome != '\0')
        base = xdgConfigHome;
    else
        base = std::string(home != nullptr ? home : "") + "/.config";
    return base + "/thermavo/ports";
}

std::string portFolder() {
    return portFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

std::string devicePathForPort(int number, const std::string& folder) {
    if (number < kFirstPortNumber || number > kLastPortNumber)
        return {};
#ifdef _WIN32
    (void)folder;
    return "\\\\.\\COM" + std::to_string(number);
#else
    const std::filesystem::path link =
        std::filesystem::path(folder) / ("COM" + std::to_string(number));
    std::error_code error;
    if (std::filesystem::is_symlink(link, error) || std::filesystem::exists(link, error))
        return link.string();
    for (const DeviceRange& range : kDeviceRanges) {
        if (number >= range.firstNumber && number < range.firstNumber + kDevicesPerRange)
            return range.prefix + std::to_string(number - range.firstNumber);
    }
    return {};
#endif
}

std::string devicePathForPort(int number) {
    return devicePathForPort(number, portFolder());
}

} // namespace thermavo
