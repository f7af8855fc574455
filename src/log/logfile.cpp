#include "log/logfile.h"

#include "log/codepage.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#ifndef _WIN32
#include <filesystem>
#endif

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace thermavo {

namespace {

#ifdef _WIN32
std::string systemMessage(DWORD code) {
    return windowsErrorText(code);
}

std::string absolutePath(const std::string& path) {
    return path;
}
#else
// The log's name is watched and taken again after a loss; a later change of the current folder
// must not move it.
std::string absolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.string();
}

std::string systemMessage(int code) {
    return std::generic_category().message(code);
}

IoError openError(const std::string& path, const std::string& reason) {
    return IoError("Cannot open the log file \"" + path + "\": " + reason);
}

// Opens an existing file for writing, for reading too when permitted so that its last byte can
// be checked. Returns -1 with errno set when that fails.
int openExisting(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_RDWR);
    if (fd < 0 && errno == EACCES) {
        fd = ::open(path.c_str(), flags | O_WRONLY);
    }
    return fd;
}
#endif

} // namespace

LogFile::LogFile(DiskSyncSettings sync) : m_sync(std::move(sync)) {
#ifndef _WIN32
    m_lock = [](int fd) { return ::flock(fd, LOCK_EX | LOCK_NB); };
#endif
}

LogFile::~LogFile() {
    try {
        close();
    } catch (const IoError&) {
        // Nobody is left to hear about it.
    }
}

void LogFile::open(const std::string& path, Mode mode, std::string_view start) {
    if (isOpen()) {
        throw IoError("A log file is already open");
    }
    if (path.empty()) {
        throw IoError("No log file name given");
    }
    m_path = absolutePath(path);
    m_openedPath = m_path;
    m_mode = mode;
    m_start = start;
    m_end = 0;
    m_lineEnd = 0;
    m_lineEndAtLineStart = true;
    m_cutPending = false;
    m_createdInFolder.clear();
#ifdef _WIN32
    // The syncing thread's duplicate of the previous log's handle keeps that file shared for
    // reading only until its last flush is done: a log switched on again at once waits for it
    // and tries again. The duplicate may also have been closed just after the first try failed.
    try {
        openHandle(m_path, mode);
    } catch (const IoError&) {
        m_sync.waitForReleased();
        openHandle(m_path, mode);
    }
#else
    openHandle(m_path, mode);
#endif
    try {
        startFile();
    } catch (const IoError&) {
        m_sync.release();
        try {
            closeHandle();
        } catch (const IoError&) {
            // The failure to report is the one of the start text.
        }
        throw;
    }
}

void LogFile::write(std::string_view text) {
    if (!isOpen()) {
        throw IoError("The log file is not open");
    }
    if (!m_startPending) {
        ++m_writes;
        writeOut(text);
        return;
    }
    std::string withStart = m_start;
    withStart += text;
    writeOut(withStart);
    m_startPending = false;
    m_writes = 1;
}

void LogFile::close() {
    if (!isOpen()) {
        return;
    }
    std::string failure;
    if (m_cutPending) {
        try {
            cutBack();
        } catch (const IoError& error) {
            failure = error.what();
        }
    }
    m_sync.release();
    try {
        closeHandle();
    } catch (const IoError& error) {
        if (failure.empty()) {
            failure = error.what();
        }
    }
    if (!failure.empty()) {
        throw IoError(failure);
    }
}

bool LogFile::atLineStart() const {
    // A pending cut is made before anything else is written.
    return m_lineEndAtLineStart;
}

// A file just opened: the syncing thread follows it, and it gets its start text.
void LogFile::startFile() {
    m_writes = 0;
    m_sync.follow(handle(), m_createdInFolder);
    m_startPending = !m_start.empty();
    if (m_startPending) {
        writeOut(m_start);
        m_startPending = false;
    }
}

void LogFile::writeOut(std::string_view text) {
    if (m_cutPending) {
        cutBack();
    }
    const char* data = text.data();
    std::size_t size = text.size();
    while (size > 0) {
        std::size_t count = 0;
        try {
            count = writeSome(data, size);
        } catch (const IoError& failure) {
            try {
                cutBack();
            } catch (const IoError& cutFailure) {
                throw IoError(std::string(failure.what()) + "; " + cutFailure.what());
            }
            throw;
        }
        m_end += static_cast<std::int64_t>(count);
        data += count;
        size -= count;
    }
    if (!text.empty()) {
        m_lineEnd = m_end;
        m_lineEndAtLineStart = text.back() == '\n';
        m_sync.written();
    }
}

void LogFile::cutBack() {
    m_cutPending = m_end != m_lineEnd;
    if (m_cutPending) {
        truncateHandle(m_lineEnd);
        m_end = m_lineEnd;
        m_cutPending = false;
    }
}

std::string continuedLogName(const std::string& path, int number) {
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind('.');
    // A name that only begins with a dot has no extension.
    if (dot == std::string::npos || dot <= nameStart) {
        dot = path.size();
    }
    std::string continued = path.substr(0, dot) + "-continued";
    if (number > 1) {
        continued += "-" + std::to_string(number);
    }
    return continued + path.substr(dot);
}

#ifdef _WIN32

bool LogFile::isOpen() const {
    return m_handle != nullptr;
}

NativeFile LogFile::handle() const {
    return m_handle;
}

// The file is open without FILE_SHARE_DELETE, so nobody can delete, rename or replace it.
LogFile::Continuation LogFile::followName() {
    if (!isOpen()) {
        throw IoError("The log file is not open");
    }
    return {};
}

void LogFile::openHandle(const std::string& path, Mode mode) {
    // The path's UTF-16 text: the ANSI code page would turn a name outside it into "?".
    const std::optional<std::wstring> widePath = utf16FromUtf8(path);
    if (!widePath) {
        throw IoError("Cannot open the log file \"" + path + "\": the name is no UTF-8 text");
    }
    // FILE_SHARE_READ lets other programs read but never write the file. Truncation comes only
    // after the share mode is in force, so a second writer cannot empty a file in use.
    HANDLE handle = CreateFileW(widePath->c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw IoError("Cannot open the log file \"" + path +
                      "\": " + systemMessage(GetLastError()));
    }
    // A read-only file stays read-only also where the system would let this user write it
    // anyway (Wine run by root).
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION information{};
    if (existed && GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        CloseHandle(handle);
        throw IoError("Cannot open the log file \"" + path + "\": the file is read-only");
    }
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(handle, &size) != 0;
    if (ok && mode == Mode::Create) {
        ok = SetEndOfFile(handle) != 0;
        size.QuadPart = 0;
    }
    if (ok && size.QuadPart > 0) {
        LARGE_INTEGER last{};
        last.QuadPart = size.QuadPart - 1;
        char byte = '\n';
        DWORD read = 0;
        if (SetFilePointerEx(handle, last, nullptr, FILE_BEGIN) &&
            ReadFile(handle, &byte, 1, &read, nullptr) && read == 1) {
            m_lineEndAtLineStart = byte == '\n';
        }
    }
    const LARGE_INTEGER zero{};
    ok = ok && SetFilePointerEx(handle, zero, nullptr, FILE_END) != 0;
    if (!ok) {
        const DWORD code = GetLastError();
        CloseHandle(handle);
        throw IoError("Cannot open the log file \"" + path + "\": " + systemMessage(code));
    }
    m_handle = handle;
    m_end = size.QuadPart;
    m_lineEnd = m_end;
}

std::size_t LogFile::writeSome(const char* data, std::size_t size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(m_handle), data, chunk, &written, nullptr)) {
        throw IoError("Cannot write the log file: " + systemMessage(GetLastError()));
    }
    if (written == 0) {
        throw IoError("Cannot write the log file: nothing was written");
    }
    return written;
}

void LogFile::truncateHandle(std::int64_t size) {
    LARGE_INTEGER offset{};
    offset.QuadPart = size;
    // The file pointer is left at the new end, where the next write goes.
    if (!SetFilePointerEx(static_cast<HANDLE>(m_handle), offset, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(static_cast<HANDLE>(m_handle))) {
        throw IoError("Cannot cut the log file back to its last complete line: " +
                      systemMessage(GetLastError()));
    }
}

void LogFile::closeHandle() {
    HANDLE handle = static_cast<HANDLE>(m_handle);
    m_handle = nullptr;
    if (!CloseHandle(handle)) {
        throw IoError("Cannot close the log file: " + systemMessage(GetLastError()));
    }
}

#else

namespace {

// The folder a file lies in, for a path made absolute.
std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The name asked for exists already, where only a new file will do.
class NameTaken : public IoError {
public:
    using IoError::IoError;
};

// Created logs go on in at most this many files beside the log's name.
constexpr int kMostContinuedFiles = 999;

} // namespace

struct LogFile::OpenedFile {
    int fd = -1;
    std::int64_t size = 0;
    bool endsWithLineEnd = true;
    bool created = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool unlocked = false;
};

// Opens a log file as the writer holds it; mustBeNew refuses (NameTaken) an existing file.
LogFile::OpenedFile LogFile::openFile(const std::string& path, Mode mode, bool mustBeNew) const {
    // Non-blocking only while opening, so that a FIFO without a reader cannot hang the program.
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (mode == Mode::Append ? O_APPEND : 0);
    const auto createNew = [&] {
        return ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_EXCL, 0666);
    };
    OpenedFile opened;
    int fd = -1;
    if (mustBeNew) {
        fd = createNew();
        if (fd < 0 && errno == EEXIST) {
            throw NameTaken("The log file \"" + path + "\" exists already");
        }
        opened.created = fd >= 0;
    } else {
        fd = openExisting(path, flags);
        if (fd < 0 && errno == ENOENT) {
            fd = createNew();
            opened.created = fd >= 0;
            if (fd < 0 && errno == EEXIST) {
                fd = openExisting(path, flags);
            }
        }
    }
    if (fd < 0) {
        throw openError(path, systemMessage(errno));
    }

    auto fail = [&](const std::string& reason) {
        ::close(fd);
        return openError(path, reason);
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        throw fail(systemMessage(errno));
    }
    const bool regular = S_ISREG(info.st_mode);
    if (!regular && !S_ISCHR(info.st_mode)) {
        throw fail("not a regular file");
    }
    // A file nobody may write is read-only for this program too, also when it runs with
    // privileges that would let it write anyway.
    if (!opened.created && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        throw fail("the file is read-only");
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        throw fail(systemMessage(errno));
    }
    if (regular) {
        int locked = 0;
        do {
            locked = m_lock(fd);
        } while (locked != 0 && errno == EINTR);
        // Only another writer's lock refuses the file. Any other failure (ENOLCK on an NFS share
        // without a lock service, EOPNOTSUPP or EINVAL where the file system has no locks) says
        // nothing about other writers, and the lock is only advisory: the log goes on without it.
        if (locked != 0 && errno == EWOULDBLOCK) {
            throw fail("the file is in use by another writer");
        }
        opened.unlocked = locked != 0;
        if (mode == Mode::Create && ::ftruncate(fd, 0) != 0) {
            throw fail(systemMessage(errno));
        }
        if (mode == Mode::Append && ::fstat(fd, &info) == 0 && info.st_size > 0) {
            opened.size = info.st_size;
            char last = '\n';
            if (::pread(fd, &last, 1, info.st_size - 1) == 1) {
                opened.endsWithLineEnd = last == '\n';
            }
        }
    }
    opened.fd = fd;
    opened.device = info.st_dev;
    opened.inode = info.st_ino;
    return opened;
}

bool LogFile::isOpen() const {
    return m_fd >= 0;
}

NativeFile LogFile::handle() const {
    return m_fd;
}

void LogFile::openHandle(const std::string& path, Mode mode) {
    adopt(openFile(path, mode, false));
}

void LogFile::adopt(const OpenedFile& opened) {
    m_fd = opened.fd;
    m_device = opened.device;
    m_inode = opened.inode;
    m_unlocked = opened.unlocked;
    m_end = opened.size;
    m_lineEnd = m_end;
    m_lineEndAtLineStart = opened.endsWithLineEnd;
    m_cutPending = false;
    m_createdInFolder = opened.created ? folderOf(m_path) : std::string();
}

LogFile::Continuation LogFile::followName() {
    if (!isOpen()) {
        throw IoError("The log file is not open");
    }
    struct stat named {};
    const bool somethingAtName = ::stat(m_path.c_str(), &named) == 0;
    if (somethingAtName && named.st_dev == m_device && named.st_ino == m_inode) {
        return {};
    }
    // A folder that cannot be looked into says nothing about the file: it is written as before.
    if (!somethingAtName && errno != ENOENT && errno != ENOTDIR) {
        return {};
    }
    const LogLoss loss = somethingAtName ? LogLoss::Replaced : LogLoss::Deleted;
    std::string path = m_path;
    OpenedFile opened;
    try {
        if (m_mode == Mode::Append) {
            opened = openFile(path, m_mode, false);
        } else {
            bool placed = false;
            if (loss == LogLoss::Deleted) {
                try {
                    opened = openFile(path, m_mode, true);
                    placed = true;
                } catch (const NameTaken&) {
                    // Another file took the name just now: it is kept like a replacement.
                }
            }
            for (int number = 1; !placed; ++number) {
                if (number > kMostContinuedFiles) {
                    throw IoError("No free name for the log beside \"" + m_openedPath + "\"");
                }
                path = continuedLogName(m_openedPath, number);
                try {
                    opened = openFile(path, m_mode, true);
                    placed = true;
                } catch (const NameTaken&) {
                    // That continuation exists already; the next number is tried.
                }
            }
        }
    } catch (const IoError& error) {
        throw LogFileLost(loss, error.what());
    }
    // The file left behind has no name, or another file's: nothing more goes to it.
    m_sync.release();
    try {
        closeHandle();
    } catch (const IoError&) {
        // Nothing of the log is left in it to lose.
    }
    m_path = path;
    adopt(opened);
    try {
        startFile();
    } catch (const IoError&) {
        // The start text stays due, and the next write carries it, as this record's will.
    }
    return {loss, m_path};
}

std::size_t LogFile::writeSome(const char* data, std::size_t size) {
    for (;;) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written > 0) {
            return static_cast<std::size_t>(written);
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        throw IoError("Cannot write the log file: " + systemMessage(written < 0 ? errno : EIO));
    }
}

void LogFile::truncateHandle(std::int64_t size) {
    const auto offset = static_cast<off_t>(size);
    int result = 0;
    do {
        result = ::ftruncate(m_fd, offset);
    } while (result != 0 && errno == EINTR);
    // Without O_APPEND (a created file) the next write would go to the old offset and leave a
    // hole; with it, seeking is harmless.
    if (result != 0 || ::lseek(m_fd, offset, SEEK_SET) != offset) {
        throw IoError("Cannot cut the log file back to its last complete line: " +
                      systemMessage(errno));
    }
}

void LogFile::closeHandle() {
    const int fd = m_fd;
    m_fd = -1;
    // The syncing thread's duplicate shares the lock: without this the file would stay locked
    // against the next writer until the last sync is done.
    ::flock(fd, LOCK_UN);
    // The descriptor is gone after close() whatever it returns, so it is never retried.
    if (::close(fd) != 0 && errno != EINTR) {
        throw IoError("Cannot close the log file: " + systemMessage(errno));
    }
}

#endif

} // namespace thermavo
