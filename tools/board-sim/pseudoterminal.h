#pragma once

#include <string>

namespace thermavo {

// The master side of a pseudo-terminal whose slave is in raw mode, so CR stays CR and LF stays
// LF. No slave descriptor is kept open: while nobody has the slave open the master reports a
// hang-up, which tells the board that nobody is listening.
class PseudoTerminal {
public:
    PseudoTerminal(); // throws std::system_error
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int masterDescriptor() const { return m_master; }
    const std::string& devicePath() const { return m_device; }

private:
    int m_master = -1;
    std::string m_device;
};

} // namespace thermavo
