#pragma once

// A device node this user may not open, as a serial device is to a user outside its group. Root
// passes every permission check by its capabilities to override them; while an AccessAsUser
// lives, the calling thread, and every thread it starts meanwhile, goes without them.

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

class AccessAsUser {
public:
    AccessAsUser() {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_lowered = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~AccessAsUser() {
        if (m_lowered)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    AccessAsUser(const AccessAsUser&) = delete;
    AccessAsUser& operator=(const AccessAsUser&) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_lowered = false;
};

// Makes `path` a file nobody may read or write.
inline bool makeDeniedFile(const char* path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return fd >= 0 && ::close(fd) == 0 && ::chmod(path, 0) == 0;
}
