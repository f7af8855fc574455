#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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
//
// A write that fails (a full medium, a size limit) may have put part of a line into the file,
// and a cut line can read as a plausible wrong value. So after a failure the file is cut back to
// the end of the last complete line this writer put there, never into what it held when opened;
// the unwritten buffered bytes are dropped with it. If the cut fails too, nothing more is
// written: every later write and the close first try the cut again and fail while it fails.
class LogFile {
public:
    enum class Mode { Create, Append };
    static constexpr std::size_t kBufferSize = 128;

    LogFile() = default;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    ~LogFile();

    // Create empties an existing file, but only once this writer holds it. Throws IoError and
    // leaves nothing open on failure. The path is the file system's own bytes on Linux and UTF-8
    // on Windows.
    void open(const std::string& path, Mode mode);
    // Puts text and CR LF into the buffer; a full buffer goes to the file.
    void writeLine(std::string_view text);
    // Puts text into the buffer, then sends every buffered byte to the file.
    void writeAndPush(std::string_view text);
    // Sends what remains and releases the file, also when that last write fails; the file then
    // ends with its last complete line.
    void close();
    bool isOpen() const;
    // True when the bytes given so far, less those a failed write took back, end with a line end
    // (or there are none), so a record can tell whether it starts on a line of its own. Only an
    // appended file that did not end with a line end makes it false between records.
    bool atLineStart() const;

private:
    void put(std::string_view text);
    void flush();
    void writeOut(const char* data, std::size_t size);
    void cutBack();
    // The platform's part: each throws IoError.
    void openHandle(const std::string& path, Mode mode);
    std::size_t writeSome(const char* data, std::size_t size);
    void truncateHandle(std::int64_t size);
    void closeHandle();

    std::array<char, kBufferSize> m_buffer{};
    std::size_t m_used = 0;
    // File offset just after the last byte written.
    std::int64_t m_end = 0;
    // Where a failed write cuts the file back to: after the last line end written, or the size
    // the file had when opened.
    std::int64_t m_lineEnd = 0;
    // Whether the file up to m_lineEnd is empty or ends with a line end.
    bool m_lineEndAtLineStart = true;
    bool m_cutPending = false;
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace thermavo
