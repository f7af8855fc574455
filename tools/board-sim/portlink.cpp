#include "portlink.h"

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace thermavo {

namespace {

std::string linkTarget(const std::string& path) {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    return error ? std::string() : target.string();
}

} // namespace

PortLink::PortLink(const std::string& folder, int number, const std::string& device)
    : m_path(folder + "/COM" + std::to_string(number)), m_device(device) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        throw std::runtime_error("cannot create the port folder " + folder + ": " +
                                 error.message());
    // One retry: the first attempt may find a stale link that is then removed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (symlink(device.c_str(), m_path.c_str()) == 0)
            return;
        if (errno != EEXIST)
            throw std::system_error(errno, std::generic_category(), "cannot create " + m_path);
        struct stat entry {};
        const bool isLink = lstat(m_path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode);
        struct stat target {};
        if (!isLink)
            throw std::runtime_error(m_path + " exists and is not a link; remove it or pick "
                                              "another --port");
        // A link left by a killed simulator may point at the terminal number this one was just
        // given; that device is ours now, so the link is stale.
        if (stat(m_path.c_str(), &target) == 0 && linkTarget(m_path) != device)
            throw std::runtime_error("COM" + std::to_string(number) + " is in use: " + m_path +
                                     " points at the live device " + linkTarget(m_path) +
                                     "; pick another --port");
        if (unlink(m_path.c_str()) != 0 && errno != ENOENT)
            throw std::system_error(errno, std::generic_category(),
                                    "cannot remove the stale link " + m_path);
    }
    throw std::runtime_error("cannot register " + m_path + ": another program keeps creating it");
}

PortLink::~PortLink() {
    if (linkTarget(m_path) == m_device)
        unlink(m_path.c_str());
}

} // namespace thermavo
