#include "runs/rundatabase.h"

#include <QLockFile>
#include <QString>
#include <filesystem>
#include <fstream>
#include <sqlite3.h>

namespace thermavo::runs {

namespace {

// "THRV": marks the file as Thermavo's.
constexpr std::int64_t kApplicationId = 0x54485256;
// 2: each summary block also says how many ticks it holds. Version 1 files are read as they are
// and marked 2 when opened (their blocks then say nothing of their ticks).
constexpr std::int64_t kSchemaVersion = 2;
// Another program writing at the same time holds the file for a few milliseconds at a time.
constexpr int kBusyMs = 5000;
constexpr int kSwitchRetryMs = 10;

constexpr const char* kSchema = R"(
CREATE TABLE runs(id INTEGER PRIMARY KEY, start_ms INTEGER NOT NULL,
    start_offset INTEGER NOT NULL, end_ms INTEGER NOT NULL, end_offset INTEGER NOT NULL,
    board INTEGER NOT NULL, ticks INTEGER NOT NULL DEFAULT 0, closed INTEGER NOT NULL DEFAULT 0);
CREATE TABLE ticks(run INTEGER NOT NULL, ms INTEGER NOT NULL, v BLOB NOT NULL,
    PRIMARY KEY(run, ms)) WITHOUT ROWID;
CREATE TABLE changes(id INTEGER PRIMARY KEY, run INTEGER NOT NULL, ms INTEGER NOT NULL,
    kind INTEGER NOT NULL, utc_offset INTEGER NOT NULL, board INTEGER NOT NULL,
    com INTEGER NOT NULL);
CREATE INDEX changes_of_run ON changes(run, ms);
CREATE TABLE summaries(run INTEGER NOT NULL, level INTEGER NOT NULL, start_ms INTEGER NOT NULL,
    v BLOB NOT NULL, PRIMARY KEY(run, level, start_ms)) WITHOUT ROWID;
)";

// The paths are UTF-8, as SQLite and Qt take them; the standard library's narrow paths would be
// read in Windows' ANSI code page.
std::filesystem::path utf8Path(const std::string& path) {
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

// With forward slashes on Windows too, as the rest of the program writes its paths, so the
// names the user is told and the names the program compares are one.
std::string utf8Text(const std::filesystem::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

std::string_view blobOf(sqlite3_stmt* statement, int column) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
    return {bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))};
}

} // namespace

bool StoreError::busy() const {
    return (m_code & 0xff) == SQLITE_BUSY || (m_code & 0xff) == SQLITE_LOCKED;
}

bool StoreError::diskFull() const {
    return m_code == SQLITE_FULL || m_code == SQLITE_IOERR_WRITE || m_code == SQLITE_IOERR_FSYNC ||
           m_code == SQLITE_IOERR_TRUNCATE;
}

class RunDatabase::Statement {
public:
    Statement(RunDatabase& database, const char* sql) : m_database(database) {
        m_database.check(sqlite3_prepare_v3(database.m_db, sql, -1, SQLITE_PREPARE_PERSISTENT,
                                            &m_statement, nullptr));
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value) {
        sqlite3_bind_int64(m_statement, index, value);
        return *this;
    }
    Statement& bind(int index, std::string_view bytes) {
        sqlite3_bind_blob(m_statement, index, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is there to read.
    bool step() {
        const int code = sqlite3_step(m_statement);
        if (code == SQLITE_ROW)
            return true;
        sqlite3_reset(m_statement);
        if (code != SQLITE_DONE)
            m_database.check(code);
        return false;
    }
    void run() {
        while (step()) {
        }
    }
    void reset() { sqlite3_reset(m_statement); }
    std::int64_t integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string_view blob(int column) const { return blobOf(m_statement, column); }

private:
    RunDatabase& m_database;
    sqlite3_stmt* m_statement = nullptr;
};

RunDatabase::RunDatabase(const std::string& path, Check check) : m_path(path) {
    {
        // SQLite would take any file as an empty database and write to it; look first.
        std::ifstream file(utf8Path(path), std::ios::binary);
        char header[16] = {};
        if (file && file.read(header, sizeof header).gcount() > 0 &&
            std::string_view(header, static_cast<std::size_t>(file.gcount())) !=
                std::string_view("SQLite format 3\0", 16))
            throw StoreError("it is not a database", SQLITE_NOTADB);
    }
    const int opened =
        sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
        const std::string text = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(opened);
        sqlite3_close(m_db);
        throw StoreError(text, opened);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, kBusyMs);
    try {
        createOrCheck(check);
        m_putTick = std::make_unique<Statement>(*this, "INSERT INTO ticks VALUES(?1, ?2, ?3)");
        m_putBlock = std::make_unique<Statement>(
            *this, "INSERT OR REPLACE INTO summaries VALUES(?1, ?2, ?3, ?4)");
    } catch (...) {
        m_putTick.reset();
        m_putBlock.reset();
        sqlite3_close(m_db);
        throw;
    }
}

RunDatabase::~RunDatabase() {
    m_putTick.reset();
    m_putBlock.reset();
    sqlite3_close(m_db);
}

void RunDatabase::check(int code) {
    if (code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW)
        return;
    const int primary = code & 0xff;
    std::string text;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
        text = "it is damaged";
    else if (primary == SQLITE_FULL)
        text = "the disk is full";
    else
        text = sqlite3_errstr(code);
    throw StoreError(text, code);
}

void RunDatabase::exec(const char* sql) {
    check(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr));
}

std::int64_t RunDatabase::integer(const char* sql) {
    Statement statement(*this, sql);
    const std::int64_t value = statement.step() ? statement.integer(0) : 0;
    statement.reset();
    return value;
}

void RunDatabase::useWriteAheadLog() {
    // Switching a new file to the log needs it to itself, and SQLite does not wait for that: a
    // second program opening the file as the first creates it is told it is locked.
    for (int waited = 0;; waited += kSwitchRetryMs) {
        const int code = sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if ((code & 0xff) != SQLITE_BUSY || waited >= kBusyMs) {
            check(code);
            return;
        }
        sqlite3_sleep(kSwitchRetryMs);
    }
}

void RunDatabase::createOrCheck(Check check) {
    // Reading the header page finds a file that is not a database or is cut short.
    const std::int64_t tables = integer("SELECT count(*) FROM sqlite_schema");
    const std::int64_t application = integer("PRAGMA application_id");
    if (tables == 0 && application == 0) {
        useWriteAheadLog();
        exec("BEGIN IMMEDIATE");
        // Another program may have created it meanwhile.
        if (integer("SELECT count(*) FROM sqlite_schema") == 0) {
            exec(kSchema);
            exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
            exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        }
        exec("COMMIT");
    }
    if (integer("PRAGMA application_id") != kApplicationId)
        throw StoreError("it is not Thermavo's", SQLITE_MISMATCH);
    if (integer("PRAGMA user_version") > kSchemaVersion)
        throw StoreError("a newer version of Thermavo wrote it", SQLITE_MISMATCH);
    if (check == Check::Pages) {
        Statement quick(*this, "PRAGMA quick_check");
        const bool sound = quick.step() && quick.blob(0) == "ok";
        quick.reset();
        if (!sound)
            throw StoreError("it is damaged", SQLITE_CORRUPT);
    }
    // Only a sound file is marked.
    if (integer("PRAGMA user_version") < kSchemaVersion)
        exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    useWriteAheadLog();
    // Each commit is synced: a power cut loses no more than a crash does.
    exec("PRAGMA synchronous=FULL");
}

std::int64_t RunDatabase::beginRun(std::int64_t ms, std::int32_t utcOffsetSeconds, int boardRow) {
    Statement insert(*this, "INSERT INTO runs(start_ms, start_offset, end_ms, end_offset, board) "
                            "VALUES(?1, ?2, ?1, ?2, ?3)");
    insert.bind(1, ms).bind(2, utcOffsetSeconds).bind(3, boardRow).run();
    return sqlite3_last_insert_rowid(m_db);
}

void RunDatabase::begin() {
    exec("BEGIN IMMEDIATE");
}

void RunDatabase::commit() {
    exec("COMMIT");
}

void RunDatabase::rollback() {
    if (sqlite3_get_autocommit(m_db) == 0)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void RunDatabase::putTick(std::int64_t run, std::int64_t ms, const TickChannels& channels) {
    m_putTick->bind(1, run).bind(2, ms).bind(3, encodeTick(channels)).run();
}

void RunDatabase::putChange(std::int64_t run, const StoredChange& change) {
    Statement insert(*this, "INSERT INTO changes(run, ms, kind, utc_offset, board, com) "
                            "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    insert.bind(1, run)
        .bind(2, change.ms)
        .bind(3, change.kind)
        .bind(4, change.utcOffsetSeconds)
        .bind(5, change.boardRow)
        .bind(6, change.comNumber)
        .run();
}

void RunDatabase::putBlock(std::int64_t run, int level, const StoredBlock& block) {
    m_putBlock->bind(1, run)
        .bind(2, level)
        .bind(3, block.startMs)
        .bind(4, encodeSummary(block.summary, block.ticks, block.startMs))
        .run();
}

void RunDatabase::updateRun(std::int64_t run, std::int64_t endMs, std::int32_t endOffset,
                            std::int64_t ticks, bool closed) {
    Statement update(*this,
                     "UPDATE runs SET end_ms=?2, end_offset=?3, ticks=?4, closed=?5 WHERE id=?1");
    update.bind(1, run).bind(2, endMs).bind(3, endOffset).bind(4, ticks).bind(5, closed).run();
}

std::string RunDatabase::runLockPath(const std::string& databasePath, std::int64_t run) {
    return databasePath + ".run" + std::to_string(run) + ".lock";
}

RunState RunDatabase::stateOf(std::int64_t run, int stored) const {
    if (stored != 0)
        return RunState::Closed;
    QLockFile lock(QString::fromStdString(runLockPath(m_path, run)));
    // The recording program holds the lock while it lives; a lock left by a program that ended
    // is stale at once.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return RunState::Crashed;
    return RunState::Recording;
}

std::vector<RunInfo> RunDatabase::runs() {
    Statement select(*this, "SELECT id, start_ms, start_offset, end_ms, end_offset, board, ticks, "
                            "closed FROM runs ORDER BY start_ms, id");
    std::vector<RunInfo> found;
    while (select.step()) {
        RunInfo run;
        run.id = select.integer(0);
        run.startMs = select.integer(1);
        run.startOffset = static_cast<std::int32_t>(select.integer(2));
        run.endMs = select.integer(3);
        run.endOffset = static_cast<std::int32_t>(select.integer(4));
        run.boardRow = static_cast<int>(select.integer(5));
        run.ticks = select.integer(6);
        run.state = stateOf(run.id, static_cast<int>(select.integer(7)));
        found.push_back(run);
    }
    return found;
}

std::vector<StoredChange> RunDatabase::changes(std::int64_t run) {
    Statement select(*this, "SELECT ms, kind, utc_offset, board, com FROM changes WHERE run=?1 "
                            "ORDER BY ms, id");
    select.bind(1, run);
    std::vector<StoredChange> found;
    while (select.step()) {
        found.push_back({select.integer(0), static_cast<int>(select.integer(1)),
                         static_cast<std::int32_t>(select.integer(2)),
                         static_cast<int>(select.integer(3)), static_cast<int>(select.integer(4))});
    }
    return found;
}

std::vector<StoredTick> RunDatabase::ticks(std::int64_t run, std::int64_t fromMs, std::int64_t toMs,
                                           std::size_t limit) {
    // The offset and board in force at each tick: the last change at or before it.
    Statement start(*this, "SELECT utc_offset, board FROM changes WHERE run=?1 AND ms<=?2 "
                           "ORDER BY ms DESC, id DESC LIMIT 1");
    start.bind(1, run).bind(2, fromMs);
    StoredTick current;
    if (start.step()) {
        current.utcOffsetSeconds = static_cast<std::int32_t>(start.integer(0));
        current.boardRow = static_cast<int>(start.integer(1));
        start.reset();
    } else {
        Statement first(*this, "SELECT start_offset, board FROM runs WHERE id=?1");
        first.bind(1, run);
        if (first.step()) {
            current.utcOffsetSeconds = static_cast<std::int32_t>(first.integer(0));
            current.boardRow = static_cast<int>(first.integer(1));
            first.reset();
        }
    }
    std::vector<StoredChange> later;
    {
        Statement select(*this, "SELECT ms, utc_offset, board FROM changes WHERE run=?1 AND "
                                "ms>?2 AND ms<=?3 ORDER BY ms, id");
        select.bind(1, run).bind(2, fromMs).bind(3, toMs);
        while (select.step())
            later.push_back({select.integer(0), 0, static_cast<std::int32_t>(select.integer(1)),
                             static_cast<int>(select.integer(2)), 0});
    }
    Statement select(*this, "SELECT ms, v FROM ticks WHERE run=?1 AND ms>=?2 AND ms<=?3 "
                            "ORDER BY ms LIMIT ?4");
    select.bind(1, run).bind(2, fromMs).bind(3, toMs).bind(4, static_cast<std::int64_t>(limit));
    std::vector<StoredTick> found;
    auto change = later.begin();
    while (select.step()) {
        current.ms = select.integer(0);
        while (change != later.end() && change->ms <= current.ms) {
            current.utcOffsetSeconds = change->utcOffsetSeconds;
            current.boardRow = change->boardRow;
            ++change;
        }
        const std::optional<TickChannels> channels = decodeTick(select.blob(1));
        if (!channels) {
            select.reset();
            throw StoreError("it is damaged", SQLITE_CORRUPT);
        }
        current.channels = *channels;
        found.push_back(current);
    }
    return found;
}

std::vector<StoredBlock> RunDatabase::blocks(std::int64_t run, int level, std::int64_t fromMs,
                                             std::int64_t toMs) {
    Statement select(*this, "SELECT start_ms, v FROM summaries WHERE run=?1 AND level=?2 AND "
                            "start_ms>=?3 AND start_ms<=?4 ORDER BY start_ms");
    select.bind(1, run).bind(2, level).bind(3, fromMs).bind(4, toMs);
    std::vector<StoredBlock> found;
    while (select.step()) {
        StoredBlock block;
        block.startMs = select.integer(0);
        const std::optional<DecodedSummary> summary = decodeSummary(select.blob(1), block.startMs);
        if (!summary) {
            select.reset();
            throw StoreError("it is damaged", SQLITE_CORRUPT);
        }
        block.summary = summary->channels;
        block.ticks = summary->ticks;
        found.push_back(block);
    }
    return found;
}

std::int64_t RunDatabase::blockCount(std::int64_t run, int level) {
    Statement count(*this, "SELECT count(*) FROM summaries WHERE run=?1 AND level=?2");
    count.bind(1, run).bind(2, level);
    const std::int64_t blocks = count.step() ? count.integer(0) : 0;
    count.reset();
    return blocks;
}

std::int64_t RunDatabase::tickCount(std::int64_t run) {
    Statement select(*this, "SELECT ticks FROM runs WHERE id=?1");
    select.bind(1, run);
    const std::int64_t ticks = select.step() ? select.integer(0) : 0;
    select.reset();
    return ticks;
}

std::int64_t RunDatabase::countTicks(std::int64_t run, std::int64_t fromMs, std::int64_t toMs,
                                     std::int64_t limit) {
    Statement count(*this, "SELECT count(*) FROM (SELECT 1 FROM ticks WHERE run=?1 AND ms>=?2 "
                           "AND ms<=?3 LIMIT ?4)");
    count.bind(1, run).bind(2, fromMs).bind(3, toMs).bind(4, limit);
    const std::int64_t ticks = count.step() ? count.integer(0) : 0;
    count.reset();
    return ticks;
}

std::optional<std::int64_t> RunDatabase::tickAtOrBefore(std::int64_t run, std::int64_t ms) {
    Statement select(*this,
                     "SELECT ms FROM ticks WHERE run=?1 AND ms<=?2 ORDER BY ms DESC LIMIT 1");
    select.bind(1, run).bind(2, ms);
    if (!select.step())
        return std::nullopt;
    const std::int64_t found = select.integer(0);
    select.reset();
    return found;
}

std::optional<std::int64_t> RunDatabase::tickAtOrAfter(std::int64_t run, std::int64_t ms) {
    Statement select(*this, "SELECT ms FROM ticks WHERE run=?1 AND ms>=?2 ORDER BY ms LIMIT 1");
    select.bind(1, run).bind(2, ms);
    if (!select.step())
        return std::nullopt;
    const std::int64_t found = select.integer(0);
    select.reset();
    return found;
}

void RunDatabase::deleteRun(std::int64_t run) {
    begin();
    try {
        for (const char* sql :
             {"DELETE FROM ticks WHERE run=?1", "DELETE FROM summaries WHERE run=?1",
              "DELETE FROM changes WHERE run=?1", "DELETE FROM runs WHERE id=?1"}) {
            Statement remove(*this, sql);
            remove.bind(1, run).run();
        }
        commit();
    } catch (...) {
        rollback();
        throw;
    }
}

std::int64_t RunDatabase::usedBytes() {
    return (integer("PRAGMA page_count") - integer("PRAGMA freelist_count")) *
           integer("PRAGMA page_size");
}

std::vector<std::int64_t> RunDatabase::removeOldRuns(std::int64_t maxBytes, std::int64_t maxAgeMs,
                                                     std::int64_t nowMs, std::int64_t keep) {
    std::vector<std::int64_t> removed;
    for (const RunInfo& run : runs()) {
        if (run.id == keep || run.state == RunState::Recording)
            continue;
        const bool tooOld = maxAgeMs > 0 && run.endMs < nowMs - maxAgeMs;
        const bool tooBig = maxBytes > 0 && usedBytes() > maxBytes;
        if (!tooOld && !tooBig)
            continue;
        deleteRun(run.id);
        removed.push_back(run.id);
    }
    return removed;
}

void RunDatabase::checkpoint(bool truncate) {
    sqlite3_wal_checkpoint_v2(m_db, nullptr,
                              truncate ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_PASSIVE,
                              nullptr, nullptr);
}

OpenedStore openInFolder(const std::string& folder) {
    OpenedStore opened;
    std::filesystem::create_directories(utf8Path(folder));
    for (int number = 1;; ++number) {
        const std::string name =
            number == 1 ? "runs.sqlite" : "runs-" + std::to_string(number) + ".sqlite";
        const std::string path = utf8Text(utf8Path(folder) / name);
        try {
            opened.database = std::make_unique<RunDatabase>(path);
            if (!opened.notice.empty())
                opened.notice += "; the history goes on in " + path;
            return opened;
        } catch (const StoreError& error) {
            // A file another program holds too long is not a bad one.
            if (error.diskFull() || error.busy() || number >= 20)
                throw;
            if (!opened.notice.empty())
                opened.notice += "; ";
            opened.notice += path + " is left as it is: " + error.what();
        }
    }
}

} // namespace thermavo::runs
