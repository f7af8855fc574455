#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace thermavo {

// Any failure to open, write, push or close a log file.
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The log files' text writer: 8-bit text through a 128-byte buffer. While open, the file is held
// for writing by this writer alone; other programs may still read it.
class LogFile {
public:
    enum class Mode { Create, Append };
    static constexpr std::size_t kBufferSize = 128;

    LogFile() = default;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    ~LogFile();

    // Create empties an existing file, but only once this writer holds it. Throws IoError and
    // leaves nothing open on failure.
    void open(const std::string& path, Mode mode);
    // Puts text and CR LF into the buffer; a full buffer goes to the file.
    void writeLine(std::string_view text);
    // Puts text into the buffer, then sends every buffered byte to the file.
    void writeAndPush(std::string_view text);
    // Sends what remains and releases the file, also when that last write fails.
    void close();
    bool isOpen() const;
    // True when the bytes given so far, less those a failed write dropped, end with a line end
    // (or there are none), so a record can tell whether it starts on a line of its own.
    bool atLineStart() const;

private:
    void put(std::string_view text);
    void flush();
    void writeOut(const char* data, std::size_t size);
    void openHandle(const std::string& path, Mode mode);
    void closeHandle();

    std::array<char, kBufferSize> m_buffer{};
    std::size_t m_used = 0;
    bool m_diskAtLineStart = true;
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace thermavo
