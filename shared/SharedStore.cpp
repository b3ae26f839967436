#include "shared/SharedStore.h"

#include <cstring>
#include <sqlite3.h>

#include "platform/FileAside.h"
#include "shared/SharedStoreFormat.h"
#include "shared/SqliteDefenses.h"
#include "shared/SqliteStatement.h"

namespace tessary {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY, value BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS event_queue(seq INTEGER PRIMARY KEY AUTOINCREMENT, event TEXT NOT NULL);";

// Everything the store's schema creates; anything else in the file was put there by someone else.
const std::vector<SqliteDefenses::SchemaObject> kStoreObjects = {
    {"table", "defaults", "CREATE TABLE defaults(key TEXT PRIMARY KEY, value BLOB NOT NULL)", true},
    {"index", "sqlite_autoindex_defaults_1", nullptr, true},
    {"table", "event_queue", "CREATE TABLE event_queue(seq INTEGER PRIMARY KEY AUTOINCREMENT, event TEXT NOT NULL)",
     true},
    {"table", "sqlite_sequence", "CREATE TABLE sqlite_sequence(name,seq)", false},
};

// The first bytes of every SQLite database file, NUL included, and the length of its header.
constexpr char kDatabaseMagic[] = "SQLite format 3";
constexpr std::size_t kHeaderSize = 100;

// Codes after which the file itself may be at fault; busy, locked, full or out of memory are not.
bool mayMeanDamage(int code)
{
    switch (code & 0xff) {
    case SQLITE_ERROR:  // a table that is gone
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:  // includes a file moved or deleted under the connection
    case SQLITE_SCHEMA:
    case SQLITE_FORMAT:
        return true;
    default:
        return false;
    }
}

// The store holds the child's browsing; a folder we create is the user's alone.
void createPrivateFolder(const std::filesystem::path& folder)
{
    std::error_code error;
    if (folder.empty() || std::filesystem::is_directory(folder, error))
        return;
    std::filesystem::create_directories(folder, error);
    if (!error)
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
}

}  // namespace

Expected<std::unique_ptr<SharedStore>> SharedStore::open(const std::filesystem::path& file, Access access,
                                                         std::chrono::milliseconds busyTimeout)
{
    int flags = SQLITE_OPEN_NOMUTEX;
    if (access == Access::readWrite) {
        createPrivateFolder(file.parent_path());
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    } else if (access == Access::writeExisting) {
        flags |= SQLITE_OPEN_READWRITE;
    } else {
        flags |= SQLITE_OPEN_READONLY;
    }
    sqlite3* connection = nullptr;
    const int result = sqlite3_open_v2(file.c_str(), &connection, flags, nullptr);
    std::unique_ptr<SharedStore> store(new SharedStore(connection, file));
    if (result != SQLITE_OK)
        return store->failure("could not be opened");
    if (auto refused = SqliteDefenses::apply(connection))
        return *refused;
    sqlite3_busy_timeout(connection, static_cast<int>(busyTimeout.count()));
    sqlite3_extended_result_codes(connection, 1);
    if (access != Access::readWrite) {
        // Checked before any statement runs: SQLite's first read of an empty file deletes the WAL
        // beside it, and the agent keeps that WAL with a damaged store it moves aside.
        const auto header = store->header();
        if (header == Header::notADatabase || header == Header::unreadable)
            return Error{"The shared store " + file.string() + " is not a database"};
    }
    // A browser reads a large rules value once and never again: pages come from the mapped file
    // instead of being copied into the page cache first, and those only in the WAL are read
    // through a few recycled buffers, never into fresh memory as large as the value.
    // Without them it reads the same, only with more memory.
    if (access == Access::readExisting)
        static_cast<void>(store->execute("PRAGMA mmap_size=67108864; PRAGMA cache_size=8"));
    // Its tables are not checked here: the append's own statement fails on a store without them.
    if (access == Access::writeExisting) {
        if (auto error = store->execute("PRAGMA synchronous=NORMAL"))
            return *error;
    }
    if (access == Access::readWrite) {
        // WAL lets readers go on while a writer commits; NORMAL syncing in WAL mode still survives
        // a crash of any process, and keeps an append from waiting on the disk.
        if (auto error = store->execute("PRAGMA journal_mode=WAL"))
            return *error;
        if (auto error = store->execute("PRAGMA synchronous=NORMAL"))
            return *error;
        // Creating the tables takes the write lock; once they exist, an open only reads.
        auto ready = store->hasSchema();
        if (!ready)
            return ready.error();
        if (!ready.value()) {
            if (auto error = store->execute("BEGIN IMMEDIATE"))
                return *error;
            if (auto error = store->execute(kSchema)) {
                store->rollback();
                return *error;
            }
            if (auto error = store->execute("COMMIT"))
                return *error;
        }
    }
    return store;
}

void SharedStore::takePageMemoryAsNeeded()
{
    // Refused, harmlessly, once SQLite is in use.
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
}

SharedStore::SharedStore(sqlite3* connection, std::filesystem::path file)
    : connection_(connection), file_(std::move(file))
{
}

SharedStore::~SharedStore()
{
    sqlite3_close_v2(connection_);
}

Error SharedStore::failure(const std::string& what)
{
    lastFailureCode_ = connection_ != nullptr ? sqlite3_extended_errcode(connection_) : SQLITE_NOMEM;
    const char* reason = connection_ != nullptr ? sqlite3_errmsg(connection_) : "out of memory";
    return Error{"The shared store " + file_.string() + " " + what + ": " + reason};
}

SharedStore::Header SharedStore::header() const
{
    // Read through SQLite's own handle of the open file, so it is that file's header, not the path's.
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(connection_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        file == nullptr || file->pMethods == nullptr)
        return Header::unreadable;
    unsigned char bytes[kHeaderSize] = {};
    const int result = file->pMethods->xRead(file, bytes, sizeof bytes, 0);
    if (result == SQLITE_IOERR_SHORT_READ)
        return Header::notADatabase;
    if (result != SQLITE_OK)
        return Header::unreadable;
    if (std::memcmp(bytes, kDatabaseMagic, sizeof kDatabaseMagic) != 0)
        return Header::notADatabase;
    // The page count at offset 28 holds only while the change counter (24) equals the number at 92.
    const auto bigEndian = [&](std::size_t at, std::size_t count) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i)
            value = (value << 8U) | bytes[at + i];
        return value;
    };
    const auto pageSize = bigEndian(16, 2) == 1 ? 65536U : bigEndian(16, 2);
    const auto pages = bigEndian(28, 4);
    sqlite3_int64 size = 0;
    if (pages == 0 || bigEndian(24, 4) != bigEndian(92, 4) || file->pMethods->xFileSize(file, &size) != SQLITE_OK)
        return Header::intact;
    return static_cast<std::uint64_t>(size) < pages * pageSize ? Header::shorterThanItsPages : Header::intact;
}

Expected<bool> SharedStore::hasSchema()
{
    SqliteStatement count(connection_,
                    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN ('defaults', 'event_queue')");
    if (!count.prepared() || count.step() != SQLITE_ROW)
        return failure("could not be read");
    if (count.integer(0) != 2)
        return false;
    // Tables of these names from some other program lack the columns every operation uses.
    for (const char* columns : {"SELECT key, value FROM defaults", "SELECT seq, event FROM event_queue"}) {
        SqliteStatement select(connection_, columns);
        if (!select.prepared()) {
            if ((sqlite3_extended_errcode(connection_) & 0xff) == SQLITE_ERROR)
                return false;
            return failure("could not be read");
        }
    }
    return true;
}

std::optional<Error> SharedStore::execute(const char* sql)
{
    // exec runs every statement of sql and steps each to completion, discarding rows.
    if (sqlite3_exec(connection_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return failure("could not be used");
    return std::nullopt;
}

void SharedStore::rollback()
{
    // Never reported: the failure that led here is the one that counts.
    sqlite3_exec(connection_, "ROLLBACK", nullptr, nullptr, nullptr);
}

SharedStore::PathCheck SharedStore::checkPath() const
{
    // Compares the path's inode with the open file's; a write into a deleted or replaced file
    // would otherwise succeed and reach nobody.
    int moved = 0;
    if (sqlite3_file_control(connection_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0)
        return PathCheck::moved;
    // Changed in place, which the connection's page cache would hide until its next miss.
    return header() == Header::intact ? PathCheck::holdsFile : PathCheck::damagedInPlace;
}

bool SharedStore::lastFailureMayBeDamage() const
{
    return mayMeanDamage(lastFailureCode_);
}

void SharedStore::leaveFileAsIs()
{
    sqlite3_db_config(connection_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

Expected<std::vector<std::string>> SharedStore::foreignObjects()
{
    auto foreign = SqliteDefenses::foreignObjects(connection_, kStoreObjects);
    if (!foreign)
        lastFailureCode_ = sqlite3_extended_errcode(connection_);
    return foreign;
}

Expected<std::int64_t> SharedStore::dataVersion()
{
    SqliteStatement version(connection_, "PRAGMA data_version");
    if (!version.prepared() || version.step() != SQLITE_ROW)
        return failure("could not be read");
    return version.integer(0);
}

Expected<bool> SharedStore::holdsData(std::string_view key, std::optional<std::string_view> bytes)
{
    // Compared inside SQLite, so a large value is never copied out to be compared.
    SqliteStatement select(connection_, "SELECT value = ?2 FROM defaults WHERE key = ?1");
    if (!select.prepared() || !select.bind(1, key, false) || (bytes && !select.bind(2, *bytes, true)))
        return failure("could not be read");
    const int result = select.step();
    if (result == SQLITE_DONE)
        return !bytes.has_value();
    if (result != SQLITE_ROW)
        return failure("could not be read");
    return bytes.has_value() && select.integer(0) == 1;
}

Expected<SharedStore::FileState> SharedStore::examine(const std::filesystem::path& file,
                                                      std::chrono::milliseconds busyTimeout,
                                                      std::vector<std::string>* foreign)
{
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (status.type() == std::filesystem::file_type::not_found)
        return FileState::missing;
    if (error)
        return Error{"The shared store " + file.string() + " could not be examined: " + error.message()};
    // A folder or a device in the way is not ours to move.
    if (status.type() != std::filesystem::file_type::regular)
        return Error{"The shared store " + file.string() + " is not a file"};

    sqlite3* connection = nullptr;
    const int result = sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<SharedStore> store(new SharedStore(connection, file));
    if (result != SQLITE_OK) {
        if (!std::filesystem::exists(file, error) && !error)
            return FileState::missing;
        return store->failure("could not be opened");
    }
    store->leaveFileAsIs();
    if (auto refused = SqliteDefenses::apply(connection))
        return *refused;
    sqlite3_busy_timeout(connection, static_cast<int>(busyTimeout.count()));
    sqlite3_extended_result_codes(connection, 1);
    // The header first: no statement runs on a file that is not a database.
    switch (store->header()) {
    case Header::intact:
    case Header::shorterThanItsPages:  // the check below tells a cut-off file from a checkpoint
        break;
    case Header::notADatabase:
        return FileState::damaged;
    case Header::unreadable:
        return Error{"The shared store " + file.string() + " could not be read"};
    }
    const auto damagedOr = [&](const Error& failure) -> Expected<FileState> {
        const int code = store->lastFailureCode_ & 0xff;
        if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
            return FileState::damaged;
        return failure;
    };
    {
        SqliteStatement check(connection, "PRAGMA quick_check(1)");
        if (!check.prepared() || check.step() != SQLITE_ROW)
            return damagedOr(store->failure("could not be checked"));
        if (check.bytes(0) != "ok")
            return FileState::damaged;
    }
    auto objects = store->foreignObjects();
    if (!objects)
        return damagedOr(objects.error());
    // Objects beside at least one of the store's tables were planted in the store; in a file
    // without them, it is another program's database.
    SqliteStatement storeTables(connection, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                                            "('defaults', 'event_queue')");
    const bool holdsStoreTable = storeTables.prepared() && storeTables.step() == SQLITE_ROW && storeTables.integer(0) > 0;
    if (!objects.value().empty() && holdsStoreTable) {
        if (foreign != nullptr)
            *foreign = std::move(objects).value();
        return FileState::tampered;
    }
    auto ready = store->hasSchema();
    if (!ready)
        return damagedOr(ready.error());
    return ready.value() ? FileState::usable : FileState::damaged;
}

Expected<std::filesystem::path> SharedStore::moveAside(const std::filesystem::path& file, std::string_view stamp)
{
    // The journals go with it: the copy keeps its last writes, and the fresh store never reads them.
    auto moved = FileAside::move(file, ".corrupt-", stamp, FileAside::kSqliteJournals);
    if (!moved)
        return Error{"The shared store: " + moved.error().description};
    return moved;
}

std::optional<Error> SharedStore::moveJournalsAside(const std::filesystem::path& file, std::string_view stamp)
{
    auto target = FileAside::unusedName(file, ".stale-", stamp, FileAside::kSqliteJournals);
    if (!target)
        return Error{"The shared store: " + target.error().description};
    if (auto failure = FileAside::moveCompanions(file, target.value(), FileAside::kSqliteJournals))
        return Error{"The shared store: " + failure->description};
    return std::nullopt;
}

Expected<std::optional<std::string>> SharedStore::dataForKey(std::string_view key)
{
    auto reader = readerForKey(key);
    if (!reader)
        return reader.error();
    if (!reader.value())
        return std::optional<std::string>();
    auto& value = *reader.value();
    std::string bytes(value.size(), '\0');
    if (!value.read(0, bytes.data(), bytes.size()))
        return failure("could not be read");
    return std::optional<std::string>(std::move(bytes));
}

Expected<std::unique_ptr<SharedStore::ValueReader>> SharedStore::readerForKey(std::string_view key)
{
    // One read transaction, so the row found is the row read, however often, even while the agent
    // replaces it.
    if (auto error = execute("BEGIN"))
        return *error;
    auto found = [&]() -> Expected<std::unique_ptr<ValueReader>> {
        SqliteStatement select(connection_, "SELECT rowid FROM defaults WHERE key = ?1");
        if (!select.prepared() || !select.bind(1, key, false))
            return failure("could not be read");
        const int result = select.step();
        if (result == SQLITE_DONE)
            return std::unique_ptr<ValueReader>();
        if (result != SQLITE_ROW)
            return failure("could not be read");
        sqlite3_blob* blob = nullptr;
        if (sqlite3_blob_open(connection_, "main", "defaults", "value", select.integer(0), 0, &blob) != SQLITE_OK) {
            sqlite3_blob_close(blob);
            return failure("could not be read");
        }
        return std::unique_ptr<ValueReader>(new ValueReader(*this, blob));
    }();
    // The reader ends the transaction when it goes. Ending a read can lose nothing; should it
    // fail, the next BEGIN says so.
    if (!found || !found.value())
        static_cast<void>(execute("COMMIT"));
    return found;
}

SharedStore::ValueReader::ValueReader(SharedStore& store, sqlite3_blob* blob)
    : store_(store), blob_(blob), size_(static_cast<std::size_t>(sqlite3_blob_bytes(blob)))
{
}

SharedStore::ValueReader::~ValueReader()
{
    sqlite3_blob_close(blob_);
    static_cast<void>(store_.execute("COMMIT"));
}

bool SharedStore::ValueReader::read(std::size_t offset, char* out, std::size_t count)
{
    if (offset > size_ || count > size_ - offset)
        return false;
    // SQLite keeps the value's overflow pages listed, so reading it in pieces never walks the
    // chain again from its start.
    return count == 0 || sqlite3_blob_read(blob_, out, static_cast<int>(count), static_cast<int>(offset)) == SQLITE_OK;
}

std::optional<Error> SharedStore::setData(std::string_view key, std::string_view bytes)
{
    SqliteStatement upsert(connection_, "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
                                  "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    // A write that changed no row did not happen, whatever the statement answered.
    if (!upsert.prepared() || !upsert.bind(1, key, false) || !upsert.bind(2, bytes, true) ||
        upsert.step() != SQLITE_DONE || sqlite3_changes(connection_) != 1)
        return failure("could not be written");
    return std::nullopt;
}

std::optional<Error> SharedStore::removeKey(std::string_view key)
{
    SqliteStatement remove(connection_, "DELETE FROM defaults WHERE key = ?1");
    if (!remove.prepared() || !remove.bind(1, key, false) || remove.step() != SQLITE_DONE)
        return failure("could not be written");
    return std::nullopt;
}

Expected<std::int64_t> SharedStore::appendEvent(std::string_view event, QueueLength length)
{
    if (auto error = execute("BEGIN IMMEDIATE"))
        return *error;
    std::int64_t size = -1;
    {
        // A queue without its table or its event column fails here, before anything is written.
        SqliteStatement insert(connection_, "INSERT INTO event_queue(event) VALUES(?1)");
        if (insert.prepared() && insert.bind(1, event, false) && insert.step() == SQLITE_DONE &&
            sqlite3_changes(connection_) == 1) {
            if (length == QueueLength::notCounted) {
                size = 0;
            } else {
                SqliteStatement count(connection_, "SELECT COUNT(*) FROM event_queue");
                if (count.prepared() && count.step() == SQLITE_ROW)
                    size = count.integer(0);
            }
        }
    }
    if (size < 0 || execute("COMMIT")) {
        auto error = failure(std::string("could not append to ") + SharedStoreFormat::kEventQueueKey);
        rollback();
        return error;
    }
    return size;
}

Expected<std::vector<SharedStore::QueuedEvent>> SharedStore::queuedEvents()
{
    std::vector<QueuedEvent> events;
    SqliteStatement select(connection_, "SELECT seq, event FROM event_queue ORDER BY seq");
    int result = select.prepared() ? select.step() : SQLITE_ERROR;
    for (; result == SQLITE_ROW; result = select.step())
        events.push_back(QueuedEvent{select.integer(0), select.bytes(1)});
    if (result != SQLITE_DONE)
        return failure(std::string("could not read ") + SharedStoreFormat::kEventQueueKey);
    return events;
}

std::optional<Error> SharedStore::removeEvent(const QueuedEvent& queued)
{
    // The text too: in a rebuilt store the same number may name another event.
    SqliteStatement remove(connection_, "DELETE FROM event_queue WHERE seq = ?1 AND event = ?2");
    if (!remove.prepared() || !remove.bind(1, queued.seq) || !remove.bind(2, queued.event, false) ||
        remove.step() != SQLITE_DONE)
        return failure(std::string("could not remove an event from ") + SharedStoreFormat::kEventQueueKey);
    return std::nullopt;
}

Expected<std::vector<std::string>> SharedStore::takeEvents()
{
    if (auto error = execute("BEGIN IMMEDIATE"))
        return *error;
    std::vector<std::string> events;
    bool complete = false;
    {
        SqliteStatement select(connection_, "SELECT seq, event FROM event_queue ORDER BY seq");
        std::int64_t last = 0;
        int result = select.prepared() ? select.step() : SQLITE_ERROR;
        for (; result == SQLITE_ROW; result = select.step()) {
            last = select.integer(0);
            events.push_back(select.bytes(1));
        }
        if (result == SQLITE_DONE) {
            SqliteStatement remove(connection_, "DELETE FROM event_queue WHERE seq <= ?1");
            complete = events.empty() || (remove.prepared() && remove.bind(1, last) && remove.step() == SQLITE_DONE &&
                                          sqlite3_changes(connection_) == static_cast<int>(events.size()));
        }
    }
    if (!complete || execute("COMMIT")) {
        auto error = failure(std::string("could not drain ") + SharedStoreFormat::kEventQueueKey);
        rollback();
        return error;
    }
    return events;
}

}  // namespace tessary
