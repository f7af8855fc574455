#include "log/logfile.h"

#include "log/codepage.h"

#include <algorithm>
#include <cstring>
#include <system_error>

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

constexpr std::string_view kLineEnd = "\r\n";

#ifdef _WIN32
// The system's text for an error, in the language of the user's Windows, as UTF-8.
std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string message = length > 0 ? utf8FromUtf16(std::wstring_view(text, length))
                                     : "System error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}
#else
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

LogFile::~LogFile() {
    try {
        close();
    } catch (const IoError&) {
        // Nobody is left to hear about it.
    }
}

void LogFile::open(const std::string& path, Mode mode) {
    if (isOpen()) {
        throw IoError("A log file is already open");
    }
    if (path.empty()) {
        throw IoError("No log file name given");
    }
    m_used = 0;
    m_end = 0;
    m_lineEnd = 0;
    m_lineEndAtLineStart = true;
    m_cutPending = false;
    openHandle(path, mode);
}

void LogFile::writeLine(std::string_view text) {
    if (!isOpen()) {
        throw IoError("The log file is not open");
    }
    put(text);
    put(kLineEnd);
}

void LogFile::writeAndPush(std::string_view text) {
    if (!isOpen()) {
        throw IoError("The log file is not open");
    }
    put(text);
    flush();
}

void LogFile::close() {
    if (!isOpen()) {
        return;
    }
    std::string failure;
    try {
        flush();
    } catch (const IoError& error) {
        failure = error.what();
    }
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
    if (m_used > 0) {
        return m_buffer[m_used - 1] == '\n';
    }
    // A pending cut is made before anything else is written.
    return m_end == m_lineEnd || m_cutPending ? m_lineEndAtLineStart : false;
}

void LogFile::put(std::string_view text) {
    while (!text.empty()) {
        const std::size_t count = std::min(text.size(), kBufferSize - m_used);
        std::memcpy(m_buffer.data() + m_used, text.data(), count);
        m_used += count;
        text.remove_prefix(count);
        if (m_used == kBufferSize) {
            flush();
        }
    }
}

// The buffer is emptied before writing, so the bytes of a failed write are dropped and the
// writer stays usable for the next record.
void LogFile::flush() {
    const std::size_t count = m_used;
    m_used = 0;
    if (count > 0 || m_cutPending) {
        writeOut(m_buffer.data(), count);
    }
}

void LogFile::writeOut(const char* data, std::size_t size) {
    if (m_cutPending) {
        cutBack();
    }
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
        const std::string_view written(data, count);
        const std::size_t lastLineEnd = written.rfind('\n');
        if (lastLineEnd != std::string_view::npos) {
            m_lineEnd = m_end + static_cast<std::int64_t>(lastLineEnd) + 1;
            m_lineEndAtLineStart = true;
        }
        m_end += static_cast<std::int64_t>(count);
        data += count;
        size -= count;
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

#ifdef _WIN32

bool LogFile::isOpen() const {
    return m_handle != nullptr;
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

bool LogFile::isOpen() const {
    return m_fd >= 0;
}

void LogFile::openHandle(const std::string& path, Mode mode) {
    // Non-blocking only while opening, so that a FIFO without a reader cannot hang the program.
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (mode == Mode::Append ? O_APPEND : 0);
    bool created = false;
    int fd = openExisting(path, flags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_EXCL, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) {
            fd = openExisting(path, flags);
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
    if (!created && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        throw fail("the file is read-only");
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        throw fail(systemMessage(errno));
    }
    if (regular) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            throw fail(errno == EWOULDBLOCK ? "the file is in use by another writer"
                                            : systemMessage(errno));
        }
        if (mode == Mode::Create && ::ftruncate(fd, 0) != 0) {
            throw fail(systemMessage(errno));
        }
        if (mode == Mode::Append && ::fstat(fd, &info) == 0 && info.st_size > 0) {
            m_end = info.st_size;
            m_lineEnd = m_end;
            char last = '\n';
            if (::pread(fd, &last, 1, info.st_size - 1) == 1) {
                m_lineEndAtLineStart = last == '\n';
            }
        }
    }
    m_fd = fd;
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
    // The descriptor is gone after close() whatever it returns, so it is never retried.
    if (::close(fd) != 0 && errno != EINTR) {
        throw IoError("Cannot close the log file: " + systemMessage(errno));
    }
}

#endif

} // namespace thermavo
