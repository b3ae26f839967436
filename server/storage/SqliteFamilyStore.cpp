#include "server/storage/SqliteFamilyStore.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/ScopedFd.h"
#include "shared/SqliteStatement.h"

namespace tessary::server {

namespace {

// Each entry brings the schema from the version before it to its own; an entry is never changed
// once released, only followed by another.
constexpr const char* kMigrations[] = {
    // 1: families, their devices with rules, settings (release, family counter), what devices report.
    R"sql(
CREATE TABLE families (id TEXT PRIMARY KEY NOT NULL);
CREATE TABLE devices (
    id TEXT PRIMARY KEY NOT NULL,
    family_id TEXT NOT NULL REFERENCES families(id),
    token TEXT NOT NULL,
    deleted INTEGER NOT NULL DEFAULT 0,
    pairing TEXT NOT NULL,
    rules TEXT NOT NULL,
    last_heartbeat INTEGER,
    last_app_error TEXT);
CREATE TABLE settings (name TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);
CREATE TABLE activity (
    id INTEGER PRIMARY KEY,
    device_id TEXT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    type TEXT NOT NULL,
    at INTEGER NOT NULL,
    frame TEXT NOT NULL);
CREATE INDEX activity_by_time ON activity(at);
CREATE INDEX activity_by_device ON activity(device_id, at);
)sql",
    // 2: the parents who sign in to the dashboard.
    R"sql(
CREATE TABLE parents (
    name TEXT PRIMARY KEY NOT NULL,
    family_id TEXT NOT NULL REFERENCES families(id),
    password_hash TEXT NOT NULL);
)sql",
    // 3: each device's version, the applications it reported and the sites requested, gathered
    // from the reports already kept (however malformed). Answers were not kept before: those
    // requests count as answered, not as waiting again.
    R"sql(
ALTER TABLE devices ADD COLUMN last_version TEXT;
CREATE TABLE applications (
    device_id TEXT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    identifier TEXT NOT NULL,
    name TEXT NOT NULL,
    PRIMARY KEY (device_id, identifier));
CREATE TABLE access_requests (
    device_id TEXT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    url TEXT NOT NULL,
    title TEXT NOT NULL,
    requested_at INTEGER NOT NULL,
    answered_at INTEGER,
    PRIMARY KEY (device_id, url));
INSERT OR REPLACE INTO applications (device_id, identifier, name)
    SELECT device_id, json_extract(event.value, '$.bundleId'),
           coalesce(json_extract(event.value, '$.appName'), json_extract(event.value, '$.bundleId'))
    FROM activity, json_each(CASE WHEN json_valid(activity.frame) THEN activity.frame ELSE '{}' END,
                             '$.payload.events') AS event
    WHERE activity.type = 'activity' AND event.type = 'object'
          AND json_type(CASE WHEN event.type = 'object' THEN event.value ELSE '{}' END, '$.bundleId') = 'text'
    ORDER BY activity.id;
INSERT OR REPLACE INTO applications (device_id, identifier, name)
    SELECT device_id, json_extract(frame, '$.payload.bundleId'),
           coalesce(json_extract(frame, '$.payload.appName'), json_extract(frame, '$.payload.bundleId'))
    FROM activity
    WHERE type = 'blocked_app_launch'
          AND json_type(CASE WHEN json_valid(frame) THEN frame ELSE '{}' END, '$.payload.bundleId') = 'text'
    ORDER BY id;
INSERT OR REPLACE INTO access_requests (device_id, url, title, requested_at, answered_at)
    SELECT device_id, json_extract(frame, '$.payload.url'), coalesce(json_extract(frame, '$.payload.title'), ''), at, at
    FROM activity
    WHERE type = 'access_request'
          AND json_type(CASE WHEN json_valid(frame) THEN frame ELSE '{}' END, '$.payload.url') = 'text'
    ORDER BY at, id;
)sql",
};
static_assert(std::size(kMigrations) == SqliteFamilyStore::kSchemaVersion);

std::optional<nlohmann::json> parsedObject(const std::string& text)
{
    auto value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return std::nullopt;
    return value;
}

}  // namespace

Expected<std::unique_ptr<SqliteFamilyStore>> SqliteFamilyStore::open(const std::filesystem::path& file)
{
    const bool inMemory = file == ":memory:";
    if (!inMemory) {
        // Created owner-only before SQLite writes a byte to it.
        const ScopedFd created(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!created)
            return Error{"cannot open " + file.string()};
    }
    sqlite3* connection = nullptr;
    const int opened = sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<SqliteFamilyStore> store(new SqliteFamilyStore(connection));
    if (opened != SQLITE_OK)
        return store->failure("cannot open " + file.string());
    sqlite3_busy_timeout(connection, 5000);
    for (const char* pragma : {"PRAGMA foreign_keys=ON", "PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"})
        if (sqlite3_exec(connection, pragma, nullptr, nullptr, nullptr) != SQLITE_OK)
            return store->failure(pragma);
    if (auto error = store->migrate())
        return *error;
    return store;
}

SqliteFamilyStore::~SqliteFamilyStore()
{
    sqlite3_close_v2(connection_);
}

Error SqliteFamilyStore::failure(const std::string& what) const
{
    return Error{what + ": " + (connection_ ? sqlite3_errmsg(connection_) : "out of memory")};
}

template <typename Change>
std::optional<Error> SqliteFamilyStore::inTransaction(Change change, Durability durability)
{
    const char* sync = durability == Durability::powerCut ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL";
    if (sqlite3_exec(connection_, sync, nullptr, nullptr, nullptr) != SQLITE_OK)
        return failure("cannot choose how to commit");
    if (sqlite3_exec(connection_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return failure("cannot begin a change");
    auto error = change();
    if (!error && sqlite3_exec(connection_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        error = failure("cannot commit a change");
    if (error)
        sqlite3_exec(connection_, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
}

std::optional<Error> SqliteFamilyStore::migrate()
{
    SqliteStatement read(connection_, "PRAGMA user_version");
    if (!read.prepared() || read.step() != SQLITE_ROW)
        return failure("cannot read the schema version");
    const auto version = read.integer(0);
    if (version > kSchemaVersion)
        return Error{"the store was written by a newer server (schema " + std::to_string(version) + ", this one knows " +
                     std::to_string(kSchemaVersion) + ")"};
    for (auto next = version + 1; next <= kSchemaVersion; ++next) {
        auto error = inTransaction([&]() -> std::optional<Error> {
            const auto steps = std::string(kMigrations[next - 1]) + "PRAGMA user_version = " + std::to_string(next) + ";";
            if (sqlite3_exec(connection_, steps.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
                return failure("cannot bring the schema to version " + std::to_string(next));
            return std::nullopt;
        });
        if (error)
            return error;
    }
    return std::nullopt;
}

Expected<FamilyStore::Contents> SqliteFamilyStore::load()
{
    const std::lock_guard lock(mutex_);
    Contents contents;
    SqliteStatement settings(connection_, "SELECT name, value FROM settings");
    if (!settings.prepared())
        return failure("cannot read the settings");
    std::optional<std::string> version;
    std::optional<std::string> build;
    int result;
    while ((result = settings.step()) == SQLITE_ROW) {
        const auto name = settings.bytes(0);
        const auto value = settings.bytes(1);
        if (name == "release.version")
            version = value;
        else if (name == "release.build")
            build = value;
        else if (name == "next_family")
            contents.nextFamily = std::max<std::uint64_t>(1, std::strtoull(value.c_str(), nullptr, 10));
    }
    if (result != SQLITE_DONE)
        return failure("cannot read the settings");
    if (version && build)
        contents.release = StoredRelease{*version, *build};

    SqliteStatement devices(connection_, "SELECT id, token, family_id, deleted, pairing, rules, last_heartbeat, "
                                         "last_version, last_app_error FROM devices ORDER BY id");
    if (!devices.prepared())
        return failure("cannot read the devices");
    while ((result = devices.step()) == SQLITE_ROW) {
        StoredDevice device{devices.bytes(0), devices.bytes(1), devices.bytes(2), devices.integer(3) != 0};
        // A column that does not parse keeps the device: its pairing and token matter more.
        device.pairing = parsedObject(devices.bytes(4)).value_or(nlohmann::json::object());
        if (auto rules = parsedObject(devices.bytes(5)))
            device.rules = std::move(*rules);
        if (!devices.isNull(6)) {
            device.lastHeartbeat = StoredHeartbeat{devices.integer(6), devices.bytes(7)};
            if (!devices.isNull(8))
                device.lastHeartbeat->appError = devices.bytes(8);
        }
        contents.devices.push_back(std::move(device));
    }
    if (result != SQLITE_DONE)
        return failure("cannot read the devices");
    if (auto error = loadDeviceDetails(contents.devices))
        return *error;
    return contents;
}

std::optional<Error> SqliteFamilyStore::loadDeviceDetails(std::vector<StoredDevice>& devices)
{
    std::map<std::string, StoredDevice*> byId;
    for (auto& device : devices)
        byId[device.id] = &device;
    SqliteStatement applications(connection_, "SELECT device_id, identifier, name FROM applications");
    if (!applications.prepared())
        return failure("cannot read the applications");
    int result;
    while ((result = applications.step()) == SQLITE_ROW)
        if (const auto device = byId.find(applications.bytes(0)); device != byId.end())
            device->second->applications[applications.bytes(1)] = applications.bytes(2);
    if (result != SQLITE_DONE)
        return failure("cannot read the applications");
    SqliteStatement requests(connection_, "SELECT device_id, url, title, requested_at, answered_at FROM access_requests "
                                          "ORDER BY requested_at");
    if (!requests.prepared())
        return failure("cannot read the access requests");
    while ((result = requests.step()) == SQLITE_ROW) {
        const auto device = byId.find(requests.bytes(0));
        if (device == byId.end())
            continue;
        StoredAccessRequest request{requests.bytes(1), requests.bytes(2), requests.integer(3)};
        if (!requests.isNull(4))
            request.answeredAt = requests.integer(4);
        device->second->accessRequests.push_back(std::move(request));
    }
    if (result != SQLITE_DONE)
        return failure("cannot read the access requests");
    return std::nullopt;
}

std::optional<Error> SqliteFamilyStore::putDevice(const StoredDevice& device)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&]() -> std::optional<Error> {
        SqliteStatement family(connection_, "INSERT OR IGNORE INTO families (id) VALUES (?1)");
        if (!family.prepared() || !family.bind(1, device.familyId, false) || family.step() != SQLITE_DONE)
            return failure("cannot keep the family " + device.familyId);
        // A device that moves to another family takes nothing of the one before with it.
        for (const char* forget : {"DELETE FROM activity WHERE device_id = ?1 AND ?2 != (SELECT family_id FROM devices WHERE id = ?1)",
                                   "DELETE FROM applications WHERE device_id = ?1 AND ?2 != (SELECT family_id FROM devices WHERE id = ?1)",
                                   "DELETE FROM access_requests WHERE device_id = ?1 AND ?2 != (SELECT family_id FROM devices WHERE id = ?1)",
                                   "UPDATE devices SET last_heartbeat = NULL, last_version = NULL, last_app_error = NULL "
                                   "WHERE id = ?1 AND family_id != ?2"}) {
            SqliteStatement statement(connection_, forget);
            if (!statement.prepared() || !statement.bind(1, device.id, false) || !statement.bind(2, device.familyId, false) ||
                statement.step() != SQLITE_DONE)
                return failure("cannot keep the device " + device.id);
        }
        const auto pairing = device.pairing.dump();
        const auto rules = device.rules.dump();
        SqliteStatement put(connection_,
                            "INSERT INTO devices (id, family_id, token, deleted, pairing, rules) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
                            "ON CONFLICT(id) DO UPDATE SET family_id = ?2, token = ?3, deleted = ?4, pairing = ?5, rules = ?6");
        if (!put.prepared() || !put.bind(1, device.id, false) || !put.bind(2, device.familyId, false) ||
            !put.bind(3, device.token, false) || !put.bind(4, std::int64_t{device.deleted ? 1 : 0}) ||
            !put.bind(5, pairing, false) || !put.bind(6, rules, false) || put.step() != SQLITE_DONE)
            return failure("cannot keep the device " + device.id);
        return std::nullopt;
    });
}

std::optional<Error> SqliteFamilyStore::putParent(const StoredParent& parent)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&]() -> std::optional<Error> {
        SqliteStatement family(connection_, "INSERT OR IGNORE INTO families (id) VALUES (?1)");
        if (!family.prepared() || !family.bind(1, parent.familyId, false) || family.step() != SQLITE_DONE)
            return failure("cannot keep the family " + parent.familyId);
        SqliteStatement put(connection_, "INSERT OR REPLACE INTO parents (name, family_id, password_hash) VALUES (?1, ?2, ?3)");
        if (!put.prepared() || !put.bind(1, parent.name, false) || !put.bind(2, parent.familyId, false) ||
            !put.bind(3, parent.passwordHash, false) || put.step() != SQLITE_DONE)
            return failure("cannot keep the parent " + parent.name);
        return std::nullopt;
    });
}

Expected<std::optional<StoredParent>> SqliteFamilyStore::parent(const std::string& name)
{
    const std::lock_guard lock(mutex_);
    SqliteStatement find(connection_, "SELECT family_id, password_hash FROM parents WHERE name = ?1");
    if (!find.prepared() || !find.bind(1, name, false))
        return failure("cannot look up a parent");
    const int result = find.step();
    if (result == SQLITE_DONE)
        return std::optional<StoredParent>();
    if (result != SQLITE_ROW)
        return failure("cannot look up a parent");
    return std::optional<StoredParent>(StoredParent{name, find.bytes(0), find.bytes(1)});
}

std::optional<Error> SqliteFamilyStore::putSetting(const char* name, const std::string& value)
{
    SqliteStatement put(connection_, "INSERT OR REPLACE INTO settings (name, value) VALUES (?1, ?2)");
    if (!put.prepared() || !put.bind(1, name, false) || !put.bind(2, value, false) || put.step() != SQLITE_DONE)
        return failure(std::string("cannot keep ") + name);
    return std::nullopt;
}

std::optional<Error> SqliteFamilyStore::putNextFamily(std::uint64_t nextFamily)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&] { return putSetting("next_family", std::to_string(nextFamily)); });
}

std::optional<Error> SqliteFamilyStore::putRelease(const StoredRelease& release)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&]() -> std::optional<Error> {
        if (auto error = putSetting("release.version", release.version))
            return error;
        return putSetting("release.build", release.build);
    });
}

std::optional<Error> SqliteFamilyStore::recordHeartbeat(const std::string& deviceId, const StoredHeartbeat& heartbeat)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&]() -> std::optional<Error> {
        SqliteStatement update(connection_, heartbeat.appError
                                                ? "UPDATE devices SET last_heartbeat = ?2, last_version = ?3, "
                                                  "last_app_error = ?4 WHERE id = ?1"
                                                : "UPDATE devices SET last_heartbeat = ?2, last_version = ?3 WHERE id = ?1");
        if (!update.prepared() || !update.bind(1, deviceId, false) || !update.bind(2, heartbeat.at) ||
            !update.bind(3, heartbeat.version, false) || (heartbeat.appError && !update.bind(4, *heartbeat.appError, false)) ||
            update.step() != SQLITE_DONE)
            return failure("cannot keep the heartbeat of " + deviceId);
        return std::nullopt;
    }, Durability::processKill);
}

std::optional<Error> SqliteFamilyStore::putApplication(const std::string& deviceId, const std::string& identifier,
                                                       const std::string& name)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&]() -> std::optional<Error> {
        SqliteStatement put(connection_, "INSERT OR REPLACE INTO applications (device_id, identifier, name) VALUES (?1, ?2, ?3)");
        if (!put.prepared() || !put.bind(1, deviceId, false) || !put.bind(2, identifier, false) ||
            !put.bind(3, name, false) || put.step() != SQLITE_DONE)
            return failure("cannot keep an application of " + deviceId);
        return std::nullopt;
    }, Durability::processKill);
}

std::optional<Error> SqliteFamilyStore::putAccessRequest(const std::string& deviceId, const StoredAccessRequest& request)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&]() -> std::optional<Error> {
        SqliteStatement put(connection_, "INSERT OR REPLACE INTO access_requests (device_id, url, title, requested_at, "
                                         "answered_at) VALUES (?1, ?2, ?3, ?4, ?5)");
        bool bound = put.prepared() && put.bind(1, deviceId, false) && put.bind(2, request.url, false) &&
                     put.bind(3, request.title, false) && put.bind(4, request.requestedAt);
        bound = bound && (request.answeredAt ? put.bind(5, *request.answeredAt) : put.bindNull(5));
        if (!bound || put.step() != SQLITE_DONE)
            return failure("cannot keep an access request of " + deviceId);
        return std::nullopt;
    });
}

std::optional<Error> SqliteFamilyStore::recordActivity(const std::string& deviceId, const std::string& type,
                                                       std::int64_t at, const std::string& frame)
{
    const std::lock_guard lock(mutex_);
    return inTransaction([&]() -> std::optional<Error> {
        SqliteStatement insert(connection_, "INSERT INTO activity (device_id, type, at, frame) VALUES (?1, ?2, ?3, ?4)");
        if (!insert.prepared() || !insert.bind(1, deviceId, false) || !insert.bind(2, type, false) ||
            !insert.bind(3, at) || !insert.bind(4, frame, false) || insert.step() != SQLITE_DONE)
            return failure("cannot keep a report of " + deviceId);
        return std::nullopt;
    }, Durability::processKill);
}

Expected<std::vector<StoredReport>> SqliteFamilyStore::reports(const std::string& deviceId, std::int64_t from,
                                                               std::int64_t to, std::size_t limit)
{
    const std::lock_guard lock(mutex_);
    SqliteStatement select(connection_, "SELECT type, at, frame FROM activity WHERE device_id = ?1 AND at >= ?2 AND at < ?3 "
                                        "ORDER BY at, id LIMIT ?4");
    if (!select.prepared() || !select.bind(1, deviceId, false) || !select.bind(2, from) || !select.bind(3, to) ||
        !select.bind(4, static_cast<std::int64_t>(limit)))
        return failure("cannot read the reports of " + deviceId);
    std::vector<StoredReport> found;
    int result;
    while ((result = select.step()) == SQLITE_ROW)
        found.push_back({select.bytes(0), select.integer(1), select.bytes(2)});
    if (result != SQLITE_DONE)
        return failure("cannot read the reports of " + deviceId);
    return found;
}

Expected<std::size_t> SqliteFamilyStore::pruneActivity(std::int64_t before)
{
    const std::lock_guard lock(mutex_);
    std::size_t removed = 0;
    auto error = inTransaction([&]() -> std::optional<Error> {
        SqliteStatement prune(connection_, "DELETE FROM activity WHERE at < ?1");
        if (!prune.prepared() || !prune.bind(1, before) || prune.step() != SQLITE_DONE)
            return failure("cannot remove old reports");
        removed = static_cast<std::size_t>(sqlite3_changes(connection_));
        SqliteStatement requests(connection_, "DELETE FROM access_requests WHERE requested_at < ?1");
        if (!requests.prepared() || !requests.bind(1, before) || requests.step() != SQLITE_DONE)
            return failure("cannot remove old requests");
        return std::nullopt;
    });
    if (error)
        return *error;
    return removed;
}

}  // namespace tessary::server
