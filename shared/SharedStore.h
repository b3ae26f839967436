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
struct sqlite3_blob;

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
        // Reads and writes a store that exists; creates and repairs nothing. A use of a table the
        // store lacks fails.
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
    // For a process that starts for a message and exits (the browsers' hosts), before it opens a
    // store: each open then takes page memory as pages are read, instead of laying out twenty
    // pages' worth up front. Process-wide.
    static void takePageMemoryAsNeeded();
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
    [[nodiscard]] static std::optional<Error> moveJournalsAside(const std::filesystem::path& file, std::string_view stamp);
    ~SharedStore();
    SharedStore(const SharedStore&) = delete;
    SharedStore& operator=(const SharedStore&) = delete;

    // The bytes under key, read in pieces as often as the caller needs, all inside one read
    // transaction, so every read sees the same bytes. The transaction ends when the reader goes,
    // which must be before the store goes.
    class ValueReader {
    public:
        ~ValueReader();
        ValueReader(const ValueReader&) = delete;
        ValueReader& operator=(const ValueReader&) = delete;

        std::size_t size() const { return size_; }
        // The count bytes from offset into out; false when they could not be read.
        bool read(std::size_t offset, char* out, std::size_t count);

    private:
        friend class SharedStore;
        ValueReader(SharedStore& store, sqlite3_blob* blob);

        SharedStore& store_;
        sqlite3_blob* blob_;
        std::size_t size_;
    };

    enum class QueueLength { counted, notCounted };

    // The bytes under key; absent when the key is not set.
    Expected<std::optional<std::string>> dataForKey(std::string_view key);
    // A reader of the bytes under key; null when the key is not set.
    Expected<std::unique_ptr<ValueReader>> readerForKey(std::string_view key);
    [[nodiscard]] std::optional<Error> setData(std::string_view key, std::string_view bytes);
    [[nodiscard]] std::optional<Error> removeKey(std::string_view key);

    // Appends one event (compact JSON text) and returns how many entries the queue then holds,
    // counted in the same transaction; 0 when not counted, which spares reading a queue that grows
    // long while the agent is away.
    Expected<std::int64_t> appendEvent(std::string_view event, QueueLength length = QueueLength::counted);
    // Every queued event, oldest first, removed in the same transaction that read them.
    Expected<std::vector<std::string>> takeEvents();
    struct QueuedEvent {
        std::int64_t seq = 0;
        std::string event;
    };
    // Every queued event, oldest first, left in the queue.
    Expected<std::vector<QueuedEvent>> queuedEvents();
    // Removes that one event; one the queue no longer holds (already removed, or the store rebuilt
    // since it was read) is left alone and is no failure.
    [[nodiscard]] std::optional<Error> removeEvent(const QueuedEvent& queued);

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


    Header header() const;
    Expected<bool> hasSchema();
    [[nodiscard]] std::optional<Error> execute(const char* sql);
    void rollback();
    Error failure(const std::string& what);

    sqlite3* connection_;
    std::filesystem::path file_;
    int lastFailureCode_ = 0;
};

}  // namespace tessary
