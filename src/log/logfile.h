#pragma once

#include "log/disksync.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace thermavo {

// Any failure to open, write or close a log file.
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a log found at its file's name before a record: on Linux another program may delete the
// open file, or put another file in its place (an editor's or spreadsheet's save); Windows
// forbids both while the file is open.
enum class LogLoss { None, Deleted, Replaced };

// A loss was found, but no file could be opened to go on in. The record is not written; the next
// one tries again.
class LogFileLost : public IoError {
public:
    LogFileLost(LogLoss loss, const std::string& message) : IoError(message), m_loss(loss) {}
    LogLoss loss() const { return m_loss; }

private:
    LogLoss m_loss;
};

// The log files' text writer: 8-bit text, each write sent to the file in one piece, so the file
// always ends with the last whole record, also after a crash. What is written reaches the disk
// itself within a few seconds (see DiskSync). While open, the file is held for writing by this
// writer alone; other programs may still read it.
//
// A write that fails (a full medium, a size limit) may have put part of its text into the file,
// and a cut line can read as a plausible wrong value. So after a failure the file is cut back to
// where it stood before that write; never into what it held when opened. If the cut fails too,
// nothing more is written: every later write and the close first try the cut again and fail
// while it fails.
class LogFile {
public:
    enum class Mode { Create, Append };

    // Where the log goes on after a loss: the file now written, which is the log's name unless a
    // created log found another file in its place.
    struct Continuation {
        LogLoss loss = LogLoss::None;
        std::string path;
    };

    explicit LogFile(DiskSyncSettings sync = {});
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    ~LogFile();

    // Opens the file and writes `start`, the text every file of this log begins with (the SYLK
    // header). Create empties an existing file, but only once this writer holds it. Throws
    // IoError and leaves nothing open on failure. The path is the file system's own bytes on
    // Linux and UTF-8 on Windows.
    void open(const std::string& path, Mode mode, std::string_view start = {});
    // Makes sure the next write goes to a file that has a name (Linux). When the file at the
    // log's name is no longer the one open, the log goes on as an opening would: a deleted file
    // is created again, with its start text; a file put in the place of an appended log is
    // appended to; a created log never overwrites the file put in its place but goes on in a new
    // file beside it (continuedLogName). Throws LogFileLost when that new file cannot be opened.
    Continuation followName();
    // Sends the text to the file in one piece: it is there whole, or, when this throws IoError,
    // not at all.
    void write(std::string_view text);
    // Releases the file, also when a cut back it still owes fails, which it reports.
    void close();
    bool isOpen() const;
    // True when the file is empty or ends with a line end, so a record can tell whether it
    // starts on a line of its own. Only an appended file that did not end with a line end makes
    // it false.
    bool atLineStart() const;
    // The writes given since the file now written began (its start text not counted), failed
    // ones included.
    int writesInFile() const { return m_writes; }
#ifndef _WIN32
    // Takes the writer's lock on an open file as flock(fd, LOCK_EX | LOCK_NB) does: 0, or -1 with
    // errno set. flock by default.
    using LockCall = std::function<int(int fd)>;
    void setLockCall(LockCall lock) {
        m_lock = std::move(lock);
    }
    // The file now written is held without a lock: its file system has no lock service (an NFS
    // share without one). The lock only keeps a second Thermavo out, so the log goes on.
    bool unlocked() const {
        return m_unlocked;
    }
#endif

private:
    void writeOut(std::string_view text);
    void cutBack();
    void startFile();
    // The platform's part: each throws IoError.
    void openHandle(const std::string& path, Mode mode);
    std::size_t writeSome(const char* data, std::size_t size);
    void truncateHandle(std::int64_t size);
    void closeHandle();
    NativeFile handle() const;
#ifndef _WIN32
    struct OpenedFile;
    OpenedFile openFile(const std::string& path, Mode mode, bool mustBeNew) const;
    void adopt(const OpenedFile& opened);
#endif

    std::string m_path;
    Mode m_mode = Mode::Append;
    std::string m_start;
    // The name the log was opened with, from which the names of files it goes on in derive.
    std::string m_openedPath;
    // File offset just after the last byte written.
    std::int64_t m_end = 0;
    // Where a failed write cuts the file back to: the end of the last whole write, or the size
    // the file had when opened.
    std::int64_t m_lineEnd = 0;
    // Whether the file up to m_lineEnd is empty or ends with a line end.
    bool m_lineEndAtLineStart = true;
    bool m_cutPending = false;
    // The start text has not reached the file now written yet; the next write carries it.
    bool m_startPending = false;
    int m_writes = 0;
    // The folder of a file this writer just created, for the syncing thread.
    std::string m_createdInFolder;
    DiskSync m_sync;
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
    // The file the descriptor was opened on, to tell whether the name still leads to it.
    std::uint64_t m_device = 0;
    std::uint64_t m_inode = 0;
    LockCall m_lock;
    bool m_unlocked = false;
#endif
};

// The name of the file a created log goes on in when another file took its place: "log.slk"
// goes on in "log-continued.slk", then "log-continued-2.slk", and so on. Number 1 is the first.
std::string continuedLogName(const std::string& path, int number);

} // namespace thermavo
