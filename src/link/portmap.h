#pragma once

#include <string>

namespace thermavo {

// A serial port keeps its number ("COM" n) as its identity. On Linux the number maps to a
// device: a link COM<n> in the port folder wins, otherwise COM1-32 are /dev/ttyS0-31,
// COM33-64 /dev/ttyUSB0-31 and COM65-96 /dev/ttyACM0-31. On Windows it is \\.\COM<n>.
constexpr int kFirstPortNumber = 1;
constexpr int kLastPortNumber = 256;

// $XDG_CONFIG_HOME/thermavo/ports, or ~/.config/thermavo/ports when it is unset or empty.
std::string portFolder(const char* xdgConfigHome, const char* home);
std::string portFolder();

// Empty when the number maps to no device.
std::string devicePathForPort(int number, const std::string& folder);
std::string devicePathForPort(int number);

} // namespace thermavo
