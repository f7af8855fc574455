#include "pseudoterminal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace thermavo {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

PseudoTerminal::PseudoTerminal() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0)
        fail("posix_openpt");
    char name[PATH_MAX];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        const int error = errno;
        close(m_master);
        throw std::system_error(error, std::generic_category(), "pseudo-terminal set-up");
    }
    m_device = name;

    // The terminal settings belong to the pair and outlive this first opening of the slave.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (slave < 0 || tcgetattr(slave, &settings) != 0) {
        const int error = errno;
        if (slave >= 0)
            close(slave);
        close(m_master);
        throw std::system_error(error, std::generic_category(), m_device);
    }
    cfmakeraw(&settings);
    cfsetispeed(&settings, B57600);
    cfsetospeed(&settings, B57600);
    const bool set = tcsetattr(slave, TCSANOW, &settings) == 0;
    const int error = errno;
    close(slave);
    if (!set) {
        close(m_master);
        throw std::system_error(error, std::generic_category(), "raw mode for " + m_device);
    }
}

PseudoTerminal::~PseudoTerminal() {
    close(m_master);
}

} // namespace thermavo
