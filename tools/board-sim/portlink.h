#pragma once

#include <string>

namespace thermavo {

// The link COM<n> in the port folder that makes a device the serial port n. Registering
// replaces a stale link but refuses one that points at a live device; the destructor removes
// the link again if it still points at this device.
class PortLink {
public:
    PortLink(const std::string& folder, int number, const std::string& device); // throws
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::string m_device;
};

} // namespace thermavo
