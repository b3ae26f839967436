#include "shared/SharedStore.h"

#include <climits>
#include <sqlite3.h>

#include "shared/SharedStoreFormat.h"

namespace tessary {

namespace {

// A prepared statement, finalized on every path.
class Statement {
public:
    Statement(sqlite3* connection, const char* sql)
    {
        result_ = sqlite3_prepare_v2(connection, sql, -1, &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepared() const { return result_ == SQLITE_OK; }
    // The bytes must outlive the statement's last step.
    bool bind(int index, std::string_view bytes, bool asBlob)
    {
        if (bytes.size() > INT_MAX)
            return false;
        const auto size = static_cast<int>(bytes.size());
        // A zero-length blob must still bind as a value, never as NULL.
        const char* data = bytes.data() != nullptr ? bytes.data() : "";
        return (asBlob ? sqlite3_bind_blob(statement_, index, data, size, nullptr)
                       : sqlite3_bind_text(statement_, index, data, size, nullptr)) == SQLITE_OK;
    }
    bool bind(int index, std::int64_t value) { return sqlite3_bind_int64(statement_, index, value) == SQLITE_OK; }
    int step() { return sqlite3_step(statement_); }
    std::string bytes(int column)
    {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
        const auto size = sqlite3_column_bytes(statement_, column);
        return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }

private:
    sqlite3_stmt* statement_ = nullptr;
    int result_;
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY, value BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS event_queue(seq INTEGER PRIMARY KEY AUTOINCREMENT, event TEXT NOT NULL);";

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
    } else {
        flags |= SQLITE_OPEN_READONLY;
    }
    sqlite3* connection = nullptr;
    const int result = sqlite3_open_v2(file.c_str(), &connection, flags, nullptr);
    std::unique_ptr<SharedStore> store(new SharedStore(connection, file));
    if (result != SQLITE_OK)
        return store->failure("could not be opened");
    sqlite3_busy_timeout(connection, static_cast<int>(busyTimeout.count()));
    sqlite3_extended_result_codes(connection, 1);
    // Pages are read from the mapped file instead of being copied into the page cache first:
    // a browser reading a large rules value once does not pay for a cache it never reuses.
    if (access == Access::readExisting)
        store->execute("PRAGMA mmap_size=67108864");
    if (access == Access::readWrite) {
        // WAL lets readers go on while a writer commits; NORMAL syncing in WAL mode still survives
        // a crash of any process, and keeps an append from waiting on the disk.
        if (auto error = store->execute("PRAGMA journal_mode=WAL"))
            return *error;
        if (auto error = store->execute("PRAGMA synchronous=NORMAL"))
            return *error;
        // Creating the tables takes the write lock; once they exist, a browser's open only reads.
        auto ready = store->hasSchema();
        if (!ready)
            return ready.error();
        if (!ready.value()) {
            if (auto error = store->execute("BEGIN IMMEDIATE"))
                return *error;
            if (auto error = store->execute(kSchema)) {
                store->execute("ROLLBACK");
                return *error;
            }
            if (auto error = store->execute("COMMIT"))
                return *error;
        }
    }
    return store;
}

SharedStore::SharedStore(sqlite3* connection, std::filesystem::path file)
    : connection_(connection), file_(std::move(file))
{
}

SharedStore::~SharedStore()
{
    sqlite3_close_v2(connection_);
}

Error SharedStore::failure(const std::string& what) const
{
    const char* reason = connection_ != nullptr ? sqlite3_errmsg(connection_) : "out of memory";
    return Error{"The shared store " + file_.string() + " " + what + ": " + reason};
}

Expected<bool> SharedStore::hasSchema()
{
    Statement count(connection_,
                    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN ('defaults', 'event_queue')");
    if (!count.prepared() || count.step() != SQLITE_ROW)
        return failure("could not be read");
    return count.integer(0) == 2;
}

std::optional<Error> SharedStore::execute(const char* sql)
{
    // exec runs every statement of sql and steps each to completion, discarding rows.
    if (sqlite3_exec(connection_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return failure("could not be used");
    return std::nullopt;
}

Expected<std::optional<std::string>> SharedStore::dataForKey(std::string_view key)
{
    std::string bytes;
    auto found = appendDataForKey(key, bytes, 0);
    if (!found)
        return found.error();
    return found.value() ? std::optional<std::string>(std::move(bytes)) : std::nullopt;
}

Expected<bool> SharedStore::appendDataForKey(std::string_view key, std::string& out, std::size_t spare)
{
    // One read transaction, so the row found is the row read even while the agent replaces it.
    if (auto error = execute("BEGIN"))
        return *error;
    auto found = [&]() -> Expected<bool> {
        Statement select(connection_, "SELECT rowid, length(value) FROM defaults WHERE key = ?1");
        if (!select.prepared() || !select.bind(1, key, false))
            return failure("could not be read");
        const int result = select.step();
        if (result == SQLITE_DONE)
            return false;
        if (result != SQLITE_ROW)
            return failure("could not be read");
        const auto size = select.integer(1);
        if (size < 0 || size > INT_MAX)
            return failure("holds a value too large to read");
        // Read straight into the caller's buffer: a large value is copied once, never staged.
        sqlite3_blob* blob = nullptr;
        if (sqlite3_blob_open(connection_, "main", "defaults", "value", select.integer(0), 0, &blob) != SQLITE_OK) {
            sqlite3_blob_close(blob);
            return failure("could not be read");
        }
        const auto start = out.size();
        out.reserve(start + static_cast<std::size_t>(size) + spare);
        out.resize(start + static_cast<std::size_t>(size));
        const bool read = sqlite3_blob_read(blob, out.data() + start, static_cast<int>(size), 0) == SQLITE_OK;
        sqlite3_blob_close(blob);
        if (!read) {
            out.resize(start);
            return failure("could not be read");
        }
        return true;
    }();
    execute("COMMIT");
    return found;
}

std::optional<Error> SharedStore::setData(std::string_view key, std::string_view bytes)
{
    Statement upsert(connection_, "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
                                  "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    if (!upsert.prepared() || !upsert.bind(1, key, false) || !upsert.bind(2, bytes, true) ||
        upsert.step() != SQLITE_DONE)
        return failure("could not be written");
    return std::nullopt;
}

std::optional<Error> SharedStore::removeKey(std::string_view key)
{
    Statement remove(connection_, "DELETE FROM defaults WHERE key = ?1");
    if (!remove.prepared() || !remove.bind(1, key, false) || remove.step() != SQLITE_DONE)
        return failure("could not be written");
    return std::nullopt;
}

Expected<std::int64_t> SharedStore::appendEvent(std::string_view event)
{
    if (auto error = execute("BEGIN IMMEDIATE"))
        return *error;
    std::int64_t size = -1;
    {
        Statement insert(connection_, "INSERT INTO event_queue(event) VALUES(?1)");
        Statement count(connection_, "SELECT COUNT(*) FROM event_queue");
        if (insert.prepared() && insert.bind(1, event, false) && insert.step() == SQLITE_DONE && count.prepared() &&
            count.step() == SQLITE_ROW)
            size = count.integer(0);
    }
    if (size < 0 || execute("COMMIT")) {
        auto error = failure(std::string("could not append to ") + SharedStoreFormat::kEventQueueKey);
        execute("ROLLBACK");
        return error;
    }
    return size;
}

Expected<std::vector<std::string>> SharedStore::takeEvents()
{
    if (auto error = execute("BEGIN IMMEDIATE"))
        return *error;
    std::vector<std::string> events;
    bool complete = false;
    {
        Statement select(connection_, "SELECT seq, event FROM event_queue ORDER BY seq");
        std::int64_t last = 0;
        int result = select.prepared() ? select.step() : SQLITE_ERROR;
        for (; result == SQLITE_ROW; result = select.step()) {
            last = select.integer(0);
            events.push_back(select.bytes(1));
        }
        if (result == SQLITE_DONE) {
            Statement remove(connection_, "DELETE FROM event_queue WHERE seq <= ?1");
            complete = events.empty() || (remove.prepared() && remove.bind(1, last) && remove.step() == SQLITE_DONE);
        }
    }
    if (!complete || execute("COMMIT")) {
        auto error = failure(std::string("could not drain ") + SharedStoreFormat::kEventQueueKey);
        execute("ROLLBACK");
        return error;
    }
    return events;
}

}  // namespace tessary
