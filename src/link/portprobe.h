#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace thermavo {

// What finding the present ports asks of the system, so that tests can stand in for each call
// or count it. Opening a serial device raises its modem lines (a board with an auto-reset
// circuit restarts), takes seconds for a paired Bluetooth port and shuts other programs out
// meanwhile, so ports are found without opening them wherever the system can name them.
struct PortSystem {
    // Opens a device exclusively and closes it again at once: 0 when it opened, otherwise the
    // system's error code (errno on Linux).
    std::function<int(const std::string& device)> openAndClose;
    // Linux: the name of the device node a path leads to, links followed ("ttyUSB0"); none when
    // the path leads nowhere.
    std::function<std::optional<std::string>(const std::string& path)> deviceNode;
    // Linux: the text of a file, none when it cannot be read.
    std::function<std::optional<std::string>(const std::string& path)> readText;
    // Windows: the MS-DOS device names (QueryDosDeviceW); none when the call fails.
    std::function<std::optional<std::vector<std::string>>()> dosDeviceNames;
    // Windows: the port names of the HARDWARE\DEVICEMAP\SERIALCOMM key; none when it cannot be
    // read.
    std::function<std::optional<std::vector<std::string>>()> serialCommPorts;

    static PortSystem real();
};

// Whether port `number` (1 to 256) is present, ports held by other programs and ports this user
// may not open included. Windows: it is among the COM ports the system names, as MS-DOS devices
// or in the SERIALCOMM key; only where neither answers at all is the device opened to see (it
// is present when it opens or when another program holds it). Linux: its device node exists,
// and a ttyS node counts only with a UART behind it (its serial type in sysfs is known; where
// sysfs cannot tell, the node is opened to see).
bool isPortPresent(int number, const PortSystem& system = PortSystem::real());

// Whether a lost port's device is back, asked every few seconds: the same finding.
bool portDeviceExists(int number);

// The present port numbers among 1 to 256, ascending.
std::vector<int> presentPorts(const PortSystem& system = PortSystem::real());
std::vector<int> presentPorts(const std::function<bool(int)>& isPresent);

} // namespace thermavo
