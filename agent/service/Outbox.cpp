#include "agent/service/Outbox.h"

#include <algorithm>
#include <sqlite3.h>

#include "platform/FileAside.h"
#include "shared/SqliteDefenses.h"
#include "shared/SqliteStatement.h"

namespace tessary {

namespace {

constexpr const char* kSchema = "CREATE TABLE IF NOT EXISTS outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                "queued_at INTEGER NOT NULL, message TEXT NOT NULL); "
                                "CREATE TABLE IF NOT EXISTS receipt(id INTEGER PRIMARY KEY CHECK (id = 1), "
                                "value TEXT NOT NULL)";

const std::vector<SqliteDefenses::SchemaObject> kOutboxObjects = {
    {"table", "outbox",
     "CREATE TABLE outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, queued_at INTEGER NOT NULL, message TEXT NOT NULL)",
     true},
    {"table", "sqlite_sequence", "CREATE TABLE sqlite_sequence(name,seq)", false},
    // Files made before receipts were kept have none until the schema adds it at opening.
    {"table", "receipt", "CREATE TABLE receipt(id INTEGER PRIMARY KEY CHECK (id = 1), value TEXT NOT NULL)", false},
};

std::string quotedName(const std::string& name)
{
    std::string quoted = "\"";
    for (const char c : name)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

bool isDamage(int code)
{
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

}  // namespace

Outbox::Outbox(std::filesystem::path file, std::shared_ptr<const Clock> clock, Logger logger,
               TamperingDetected tamperingDetected, std::size_t capacity)
    : file_(std::move(file)),
      clock_(std::move(clock)),
      logger_(std::move(logger)),
      tamperingDetected_(std::move(tamperingDetected)),
      capacity_(capacity)
{
}

Outbox::~Outbox()
{
    sqlite3_close_v2(connection_);
}

sqlite3* Outbox::connection()
{
    if (connection_ != nullptr)
        return connection_;
    auto opened = openFile();
    if (!opened) {
        report(opened.error());
        return nullptr;
    }
    connection_ = opened.value();
    dataVersion_ = -1;
    lookForTampering();
    SqliteStatement count(connection_, "SELECT COUNT(*) FROM outbox");
    size_ = count.step() == SQLITE_ROW ? static_cast<std::size_t>(count.integer(0)) : 0;
    return connection_;
}

Expected<sqlite3*> Outbox::openFile()
{
    std::error_code ignored;
    if (!std::filesystem::is_directory(file_.parent_path(), ignored)) {
        std::filesystem::create_directories(file_.parent_path(), ignored);
        std::filesystem::permissions(file_.parent_path(), std::filesystem::perms::owner_all, ignored);
    }
    for (int attempt = 0;; ++attempt) {
        sqlite3* connection = nullptr;
        int result = sqlite3_open_v2(file_.c_str(), &connection,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (result == SQLITE_OK && SqliteDefenses::apply(connection))
            result = SQLITE_MISUSE;
        // WAL with NORMAL syncing: a commit survives the agent being killed and never waits on the disk.
        for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", kSchema}) {
            if (result != SQLITE_OK)
                break;
            result = sqlite3_exec(connection, sql, nullptr, nullptr, nullptr);
        }
        if (result == SQLITE_OK)
            return connection;
        const std::string message = sqlite3_errstr(result);
        sqlite3_close_v2(connection);
        if (!isDamage(result) || attempt > 0)
            return Error{"The outbox " + file_.string() + " could not be opened: " + message};
        // What it held cannot be read; kept for a person to look at, and a fresh box started.
        const auto aside = FileAside::move(file_, ".corrupt-", std::to_string(secondsSinceEpoch()),
                                           FileAside::kSqliteJournals);
        if (!aside)
            return Error{"The outbox is damaged and " + aside.error().description};
        logger_.error("Outbox was damaged — moved it aside to %s", {aside.value().string()});
    }
}

Error Outbox::failure(const std::string& what) const
{
    return Error{"Outbox " + what + ": " + sqlite3_errmsg(connection_)};
}

void Outbox::report(const Error& error)
{
    // Every message would repeat the same line; one per distinct failure is enough.
    if (error.description != lastFailure_)
        logger_.error("Outbox unavailable: %@", {error});
    lastFailure_ = error.description;
}

bool Outbox::add(const std::string& text, const std::string& receipt)
{
    if (connection() == nullptr)
        return false;
    if (size_ >= capacity_) {
        // A hundredth at a time, so a full box logs now and then rather than at every message.
        const auto excess = size_ - capacity_ + std::max<std::size_t>(1, capacity_ / 100);
        dropOldest(excess);
    }
    const bool withReceipt = !receipt.empty();
    if (withReceipt && sqlite3_exec(connection_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        report(failure("write failed"));
        return false;
    }
    const auto kept = [&] {
        SqliteStatement insert(connection_, "INSERT INTO outbox(queued_at, message) VALUES(?1, ?2)");
        // An insert that added no row kept nothing, whatever the statement answered.
        if (!insert.prepared() || !insert.bind(1, secondsSinceEpoch()) || !insert.bind(2, text, false) ||
            insert.step() != SQLITE_DONE || sqlite3_changes(connection_) != 1)
            return false;
        if (!withReceipt)
            return true;
        SqliteStatement note(connection_, "INSERT OR REPLACE INTO receipt(id, value) VALUES(1, ?1)");
        return note.prepared() && note.bind(1, receipt, false) && note.step() == SQLITE_DONE &&
               sqlite3_changes(connection_) == 1 &&
               sqlite3_exec(connection_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }();
    if (!kept) {
        report(failure("write failed"));
        if (withReceipt && sqlite3_get_autocommit(connection_) == 0)
            sqlite3_exec(connection_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    ++size_;
    lastFailure_.clear();
    return true;
}

bool Outbox::keptLast(const std::string& receipt)
{
    if (connection() == nullptr || receipt.empty())
        return false;
    SqliteStatement select(connection_, "SELECT 1 FROM receipt WHERE id = 1 AND value = ?1");
    return select.prepared() && select.bind(1, receipt, false) && select.step() == SQLITE_ROW;
}

void Outbox::dropOldest(std::size_t count)
{
    SqliteStatement drop(connection_, "DELETE FROM outbox WHERE id IN (SELECT id FROM outbox ORDER BY id LIMIT ?1)");
    if (!drop.prepared() || !drop.bind(1, static_cast<std::int64_t>(count)) || drop.step() != SQLITE_DONE) {
        report(failure("trim failed"));
        return;
    }
    const auto dropped = static_cast<std::size_t>(sqlite3_changes(connection_));
    size_ -= std::min(size_, dropped);
    logger_.error("Outbox full — dropped the %ld oldest messages", {static_cast<std::int64_t>(dropped)});
}

std::vector<Outbox::Message> Outbox::after(std::int64_t id, std::size_t limit)
{
    std::vector<Message> messages;
    if (connection() == nullptr || limit == 0)
        return messages;
    SqliteStatement select(connection_, "SELECT id, message FROM outbox WHERE id > ?1 ORDER BY id LIMIT ?2");
    if (!select.prepared() || !select.bind(1, id) || !select.bind(2, static_cast<std::int64_t>(limit))) {
        report(failure("read failed"));
        return messages;
    }
    int result = SQLITE_OK;
    while ((result = select.step()) == SQLITE_ROW)
        messages.push_back({select.integer(0), select.bytes(1)});
    if (result != SQLITE_DONE)
        report(failure("read failed"));
    return messages;
}

void Outbox::remove(std::int64_t id)
{
    if (connection() == nullptr)
        return;
    SqliteStatement remove(connection_, "DELETE FROM outbox WHERE id = ?1");
    if (!remove.prepared() || !remove.bind(1, id) || remove.step() != SQLITE_DONE) {
        report(failure("delete failed"));
        return;
    }
    size_ -= std::min<std::size_t>(size_, static_cast<std::size_t>(sqlite3_changes(connection_)));
}

void Outbox::clear()
{
    if (connection() == nullptr)
        return;
    if (sqlite3_exec(connection_, "DELETE FROM outbox", nullptr, nullptr, nullptr) != SQLITE_OK) {
        report(failure("clear failed"));
        return;
    }
    size_ = 0;
}

void Outbox::dropExpired()
{
    if (connection() == nullptr)
        return;
    const auto cutoff = secondsSinceEpoch() - std::chrono::duration_cast<std::chrono::seconds>(kLongestStay).count();
    SqliteStatement drop(connection_, "DELETE FROM outbox WHERE queued_at < ?1");
    if (!drop.prepared() || !drop.bind(1, cutoff) || drop.step() != SQLITE_DONE) {
        report(failure("trim failed"));
        return;
    }
    const auto dropped = static_cast<std::size_t>(sqlite3_changes(connection_));
    if (dropped == 0)
        return;
    size_ -= std::min(size_, dropped);
    logger_.error("Outbox: dropped %ld messages older than 7 days", {static_cast<std::int64_t>(dropped)});
}

void Outbox::lookForTampering()
{
    if (connection_ == nullptr)
        return;
    {
        // Finished before any repair: a table cannot be dropped while a statement still reads.
        SqliteStatement version(connection_, "PRAGMA data_version");
        if (!version.prepared() || version.step() != SQLITE_ROW || version.integer(0) == dataVersion_)
            return;
        dataVersion_ = version.integer(0);
    }
    removeForeignObjects();
}

void Outbox::removeForeignObjects()
{
    auto foreign = SqliteDefenses::foreignObjects(connection_, kOutboxObjects);
    if (!foreign || foreign.value().empty())
        return;
    tamperingDetected_(SqliteDefenses::finding("outbox", foreign.value()));

    const auto run = [this](const std::string& sql) {
        const bool done = sqlite3_exec(connection_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!done)
            report(failure("repair failed"));
        return done;
    };
    // An outbox table made again with other SQL (a CHECK that refuses every message, say) is set
    // aside with the tables of other names; the messages of each are copied into a fresh outbox.
    if (std::find(foreign.value().begin(), foreign.value().end(), "table outbox (altered)") != foreign.value().end())
        run("ALTER TABLE outbox RENAME TO " + quotedName("outbox altered " + std::to_string(secondsSinceEpoch())));
    // A receipt holds no message: one made again differently is simply made anew.
    if (std::find(foreign.value().begin(), foreign.value().end(), "table receipt (altered)") != foreign.value().end())
        run("DROP TABLE receipt");
    std::vector<std::pair<std::string, std::string>> objects;
    {
        // Automatic indexes go with their tables.
        SqliteStatement select(connection_, "SELECT type, name FROM sqlite_master WHERE type IN "
                                            "('trigger', 'view', 'index', 'table') AND NOT (type = 'table' AND name IN "
                                            "('outbox', 'sqlite_sequence', 'receipt')) AND substr(name, 1, 17) <> "
                                            "'sqlite_autoindex_'");
        while (select.prepared() && select.step() == SQLITE_ROW)
            objects.emplace_back(select.bytes(0), select.bytes(1));
    }
    // Triggers, views and indexes hold nothing; they go first, so a view no longer takes the name.
    std::stable_partition(objects.begin(), objects.end(), [](const auto& object) { return object.first != "table"; });
    for (const auto& [type, name] : objects) {
        if (type == "table")
            break;
        run("DROP " + type + " IF EXISTS " + quotedName(name));
    }
    run(kSchema);
    for (const auto& [type, name] : objects) {
        if (type != "table")
            continue;
        const auto table = quotedName(name);
        const bool holdsMessages =
            SqliteStatement(connection_, ("SELECT id, queued_at, message FROM " + table).c_str()).prepared();
        // Oldest first after what is already there; a table whose rows cannot be copied is kept.
        if (holdsMessages && !run("BEGIN IMMEDIATE"))
            continue;
        if (holdsMessages && !(run("INSERT OR IGNORE INTO outbox(queued_at, message) SELECT queued_at, message FROM " +
                                   table + " WHERE typeof(message) = 'text' ORDER BY id") &&
                               run("DROP TABLE " + table) && run("COMMIT"))) {
            run("ROLLBACK");
            continue;
        }
        if (!holdsMessages)
            run("DROP TABLE IF EXISTS " + table);
    }
    SqliteStatement count(connection_, "SELECT COUNT(*) FROM outbox");
    size_ = count.step() == SQLITE_ROW ? static_cast<std::size_t>(count.integer(0)) : 0;
}

std::size_t Outbox::size()
{
    connection();
    return size_;
}

}  // namespace tessary
