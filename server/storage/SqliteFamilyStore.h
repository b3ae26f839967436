#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <sqlite3.h>

#include "server/storage/FamilyStore.h"

namespace tessary::server {

// The family store in one SQLite file: write-ahead log, foreign keys on, each change one
// transaction, synchronous writes for every change a device or a parent was answered about (it
// survives a power cut); reports are committed without waiting for the disk. The
// schema carries its version (user_version) and is brought forward step by step when opened; a
// file from a newer server is refused rather than guessed at. Safe from any thread: one change at a
// time.
class SqliteFamilyStore final : public FamilyStore {
public:
    // The schema version this build writes.
    static constexpr int kSchemaVersion = 3;

    // Opens or creates the file (mode 0600: it holds device tokens); ":memory:" keeps nothing.
    static Expected<std::unique_ptr<SqliteFamilyStore>> open(const std::filesystem::path& file);
    ~SqliteFamilyStore() override;
    SqliteFamilyStore(const SqliteFamilyStore&) = delete;
    SqliteFamilyStore& operator=(const SqliteFamilyStore&) = delete;

    Expected<Contents> load() override;
    [[nodiscard]] std::optional<Error> putDevice(const StoredDevice& device) override;
    [[nodiscard]] std::optional<Error> putNextFamily(std::uint64_t nextFamily) override;
    [[nodiscard]] std::optional<Error> putParent(const StoredParent& parent) override;
    Expected<std::optional<StoredParent>> parent(const std::string& name) override;
    [[nodiscard]] std::optional<Error> putRelease(const StoredRelease& release) override;
    [[nodiscard]] std::optional<Error> recordHeartbeat(const std::string& deviceId, const StoredHeartbeat& heartbeat) override;
    [[nodiscard]] std::optional<Error> putApplication(const std::string& deviceId, const std::string& identifier,
                                        const std::string& name) override;
    [[nodiscard]] std::optional<Error> putAccessRequest(const std::string& deviceId, const StoredAccessRequest& request) override;
    [[nodiscard]] std::optional<Error> recordActivity(const std::string& deviceId, const std::string& type, std::int64_t at,
                                        const std::string& frame) override;
    Expected<std::vector<StoredReport>> reports(const std::string& deviceId, std::int64_t from, std::int64_t to,
                                                std::size_t limit) override;
    Expected<std::size_t> pruneActivity(std::int64_t before) override;

private:
    explicit SqliteFamilyStore(sqlite3* connection) : connection_(connection) {}

    [[nodiscard]] std::optional<Error> migrate();
    [[nodiscard]] std::optional<Error> putSetting(const char* name, const std::string& value);
    // Caller holds mutex_. Adds what load() reads beside each device's own row.
    [[nodiscard]] std::optional<Error> loadDeviceDetails(std::vector<StoredDevice>& devices);
    // What a committed change survives. Any survives the server's kill. A report is what a device
    // sent without waiting for an answer: losing the last moments of reports to a power cut is no
    // worse than losing them in flight, and not waiting for the disk at each one keeps a thousand
    // devices' reports from queueing behind each other.
    enum class Durability { powerCut, processKill };
    // Runs `change` in one transaction, committed when it returns no error.
    template <typename Change>
    [[nodiscard]] std::optional<Error> inTransaction(Change change, Durability durability = Durability::powerCut);
    Error failure(const std::string& what) const;

    sqlite3* connection_;
    std::mutex mutex_;
};

}  // namespace tessary::server
