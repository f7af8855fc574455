#include "pseudoterminal.h"

#include "link/portmap.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

bool placeLink(int number, const std::string& target, std::string* link) {
    const std::filesystem::path folder = thermavo::portFolder();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path path = folder / ("COM" + std::to_string(number));
    std::filesystem::remove(path, error);
    std::filesystem::create_symlink(target, path, error);
    if (link != nullptr)
        *link = path.string();
    return !error;
}

} // namespace

PseudoTerminal::~PseudoTerminal() {
    closeBoardSide();
    if (!m_link.empty()) {
        std::error_code error;
        std::filesystem::remove(m_link, error);
    }
}

bool PseudoTerminal::create(int number) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const char* name = ::ptsname(m_master);
    if (name == nullptr) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_device = name;
    if (!placeLink(number, m_device, &m_link)) {
        m_error = QStringLiteral("cannot link the port");
        return false;
    }
    return true;
}

bool PseudoTerminal::write(const QByteArray& bytes) {
    return ::write(m_master, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
}

QByteArray PseudoTerminal::readAvailable() {
    QByteArray bytes;
    char chunk[256];
    for (;;) {
        const ssize_t count = ::read(m_master, chunk, sizeof chunk);
        if (count <= 0)
            return bytes;
        bytes.append(chunk, count);
    }
}

void PseudoTerminal::closeBoardSide() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool linkMissingPort(int number) {
    return placeLink(number, "/nonexistent/thermavo-missing-device", nullptr);
}
