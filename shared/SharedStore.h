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
// a database is reported as an error and never modified or removed.
class SharedStore {
public:
    enum class Access {
        // Reads only; a missing file is an error and nothing is created.
        readExisting,
        // Creates the folder (mode 0700), the file and the tables when missing.
        readWrite,
    };

    static Expected<std::unique_ptr<SharedStore>> open(const std::filesystem::path& file, Access access,
                                                       std::chrono::milliseconds busyTimeout);
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

private:
    SharedStore(sqlite3* connection, std::filesystem::path file);

    Expected<bool> hasSchema();
    std::optional<Error> execute(const char* sql);
    Error failure(const std::string& what) const;

    sqlite3* connection_;
    std::filesystem::path file_;
};

}  // namespace tessary
