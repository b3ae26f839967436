#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Expected.h"

struct sqlite3;

namespace tessary {

// One connection to the shared store: an SQLite file in WAL mode holding the "defaults" key-value
// table and the "event_queue" table. Every write is one BEGIN IMMEDIATE transaction, so appends
// from browser processes and the agent's drain never lose or repeat an event. A file that is not
// a database is reported as an error and never modified or removed; only the agent, through
// examine and moveAside, replaces a damaged store.
class SharedStore {
public:
    enum class Access {
        // Reads only; a missing file is an error and nothing is created.
        readExisting,
        // Reads and writes a store that exists with its two tables; creates and repairs nothing.
        writeExisting,
        // Creates the folder (mode 0700), the file and the tables when missing.
        readWrite,
    };

    // What is at a store's path.
    enum class FileState {
        missing,
        usable,
        // Not a database, failing SQLite's check, or without the store's two tables.
        damaged,
        // Holding schema objects the store never creates: a trigger, a view, a renamed table.
        tampered,
    };

    static Expected<std::unique_ptr<SharedStore>> open(const std::filesystem::path& file, Access access,
                                                       std::chrono::milliseconds busyTimeout);
    // Looks at the file at the path without changing it. An error when it cannot tell (busy,
    // unreadable, not a regular file). A tampered file's foreign objects are described in foreign.
    static Expected<FileState> examine(const std::filesystem::path& file, std::chrono::milliseconds busyTimeout,
                                       std::vector<std::string>* foreign = nullptr);
    // Renames the file, with its WAL and shared-memory files, to "<name>.corrupt-<stamp>" in the
    // same folder (a numbered suffix keeps earlier copies) and returns the new path.
    static Expected<std::filesystem::path> moveAside(const std::filesystem::path& file, std::string_view stamp);
    // Renames the WAL and shared-memory files at the path to "<name>.stale-<stamp>-wal" and
    // "-shm": once the file they belonged to is gone, SQLite would otherwise read them as part of
    // whatever file is put at the path next.
    static std::optional<Error> moveJournalsAside(const std::filesystem::path& file, std::string_view stamp);
    ~SharedStore();
    SharedStore(const SharedStore&) = delete;
    SharedStore& operator=(const SharedStore&) = delete;

    // The bytes under key; absent when the key is not set.
    Expected<std::optional<std::string>> dataForKey(std::string_view key);
    // Appends the bytes under key to out, with room reserved for `spare` more, and returns whether
    // the key is set. A large value is read into out directly, without an intermediate copy.
    Expected<bool> appendDataForKey(std::string_view key, std::string& out, std::size_t spare);
    std::optional<Error> setData(std::string_view key, std::string_view bytes);
    std::optional<Error> removeKey(std::string_view key);

    // Appends one event (compact JSON text) and returns how many entries the queue then holds.
    Expected<std::int64_t> appendEvent(std::string_view event);
    // Every queued event, oldest first, removed in the same transaction that read them.
    Expected<std::vector<std::string>> takeEvents();

    // The schema objects the store never creates, described.
    Expected<std::vector<std::string>> foreignObjects();
    // Changes whenever another connection commits to the file; the same after this one's commits.
    Expected<std::int64_t> dataVersion();
    // Whether key holds exactly these bytes (absent: whether key is unset).
    Expected<bool> holdsData(std::string_view key, std::optional<std::string_view> bytes);

    // Whether the path still holds the file this connection has open, intact.
    enum class PathCheck {
        holdsFile,
        // Deleted, or another file put in its place.
        moved,
        // The same file, overwritten or truncated: not a database, or shorter than its header says.
        damagedInPlace,
    };
    PathCheck checkPath() const;
    // Whether the last failure may come from a damaged file, rather than from a busy or full one.
    bool lastFailureMayBeDamage() const;
    // Closing then never writes to the file (no checkpoint into a file that may be damaged).
    void leaveFileAsIs();

private:
    enum class Header {
        intact,
        notADatabase,
        // Shorter than the pages its header counts: cut off, or a checkpoint of another process
        // still extending it.
        shorterThanItsPages,
        unreadable,
    };

    SharedStore(sqlite3* connection, std::filesystem::path file);

    static Expected<std::filesystem::path> unusedName(const std::filesystem::path& file, std::string_view tag,
                                                      std::string_view stamp);
    static std::optional<Error> moveJournals(const std::filesystem::path& file, const std::filesystem::path& target);

    Header header() const;
    Expected<bool> hasSchema();
    std::optional<Error> execute(const char* sql);
    void rollback();
    Error failure(const std::string& what);

    sqlite3* connection_;
    std::filesystem::path file_;
    int lastFailureCode_ = 0;
};

}  // namespace tessary
