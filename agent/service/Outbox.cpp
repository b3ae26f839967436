#include "agent/service/Outbox.h"

#include <sqlite3.h>

#include "shared/SqliteStatement.h"

namespace tessary {

namespace {

constexpr const char* kSchema = "CREATE TABLE IF NOT EXISTS outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                "queued_at INTEGER NOT NULL, message TEXT NOT NULL)";

bool isDamage(int code)
{
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

}  // namespace

Outbox::Outbox(std::filesystem::path file, std::shared_ptr<const Clock> clock, Logger logger, std::size_t capacity)
    : file_(std::move(file)), clock_(std::move(clock)), logger_(std::move(logger)), capacity_(capacity)
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
        auto aside = file_;
        aside += ".corrupt-" + std::to_string(secondsSinceEpoch());
        std::error_code error;
        std::filesystem::rename(file_, aside, error);
        if (error)
            return Error{"The outbox " + file_.string() + " is damaged and could not be moved aside: " +
                         error.message()};
        for (const char* journal : {"-wal", "-shm"}) {
            auto from = file_;
            from += journal;
            auto to = aside;
            to += journal;
            std::filesystem::rename(from, to, ignored);
        }
        logger_.error("Outbox was damaged — moved it aside to %s", {aside.string()});
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

bool Outbox::add(const std::string& text)
{
    if (connection() == nullptr)
        return false;
    if (size_ >= capacity_) {
        // A hundredth at a time, so a full box logs now and then rather than at every message.
        const auto excess = size_ - capacity_ + std::max<std::size_t>(1, capacity_ / 100);
        dropOldest(excess);
    }
    SqliteStatement insert(connection_, "INSERT INTO outbox(queued_at, message) VALUES(?1, ?2)");
    if (!insert.prepared() || !insert.bind(1, secondsSinceEpoch()) || !insert.bind(2, text, false) ||
        insert.step() != SQLITE_DONE) {
        report(failure("write failed"));
        return false;
    }
    ++size_;
    lastFailure_.clear();
    return true;
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

std::size_t Outbox::size()
{
    connection();
    return size_;
}

}  // namespace tessary
