#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Expected.h"

namespace tessary::server {

// A child's request for a site, and when a parent last answered one for it.
struct StoredAccessRequest {
    std::string url;
    std::string title;
    // Unix seconds: the latest request for the site, and the answer (pending while older or absent).
    std::int64_t requestedAt = 0;
    std::optional<std::int64_t> answeredAt = std::nullopt;

    bool pending() const { return !answeredAt || *answeredAt < requestedAt; }
};

// What a device's heartbeat said.
struct StoredHeartbeat {
    // Unix seconds.
    std::int64_t at = 0;
    std::string version;
    // The error it reported; absent keeps the one before.
    std::optional<std::string> appError = std::nullopt;
};

struct StoredDevice {
    std::string id;
    // Empty once the device is deleted.
    std::string token;
    std::string familyId;
    bool deleted = false;
    // The pairing request as the device sent it.
    nlohmann::json pairing = nlohmann::json::object();
    nlohmann::json rules = nlohmann::json::object();
    // What load() adds; putDevice leaves them as they are.
    std::optional<StoredHeartbeat> lastHeartbeat = std::nullopt;
    // The applications it reported: identifier to display name.
    std::map<std::string, std::string> applications = {};
    std::vector<StoredAccessRequest> accessRequests = {};
};

// A parent's account: the dashboard's sign-in for one family.
struct StoredParent {
    std::string name;
    std::string familyId;
    // Argon2id, in libsodium's encoded form (parameters and salt included).
    std::string passwordHash;
};

// One frame a device sent, as kept.
struct StoredReport {
    std::string type;
    // When it arrived, Unix seconds.
    std::int64_t at = 0;
    std::string frame;
};

struct StoredRelease {
    std::string version;
    std::string build;
};

// What the service keeps across restarts: families and their devices with their rules, the
// published release, and what each device reported. Each change is kept whole or not at all; a
// change that returns an error was not kept.
class FamilyStore {
public:
    struct Contents {
        std::optional<StoredRelease> release;
        // The number the next new family is named with.
        std::uint64_t nextFamily = 1;
        std::vector<StoredDevice> devices;
    };

    virtual ~FamilyStore() = default;

    virtual Expected<Contents> load() = 0;
    // Adds or replaces the device (its family is created with it), with the family counter.
    [[nodiscard]] virtual std::optional<Error> putDevice(const StoredDevice& device) = 0;
    [[nodiscard]] virtual std::optional<Error> putNextFamily(std::uint64_t nextFamily) = 0;
    // Adds or replaces the account (its family is created with it).
    [[nodiscard]] virtual std::optional<Error> putParent(const StoredParent& parent) = 0;
    // Absent when no parent has this name.
    virtual Expected<std::optional<StoredParent>> parent(const std::string& name) = 0;
    [[nodiscard]] virtual std::optional<Error> putRelease(const StoredRelease& release) = 0;
    [[nodiscard]] virtual std::optional<Error> recordHeartbeat(const std::string& deviceId, const StoredHeartbeat& heartbeat) = 0;
    // Adds or renames an application the device reported.
    [[nodiscard]] virtual std::optional<Error> putApplication(const std::string& deviceId, const std::string& identifier,
                                                const std::string& name) = 0;
    // Adds or replaces the device's request for the site.
    [[nodiscard]] virtual std::optional<Error> putAccessRequest(const std::string& deviceId, const StoredAccessRequest& request) = 0;
    // One frame a device sent (a visit, a launch, a request...) as it arrived.
    [[nodiscard]] virtual std::optional<Error> recordActivity(const std::string& deviceId, const std::string& type,
                                                std::int64_t at, const std::string& frame) = 0;
    // What the device reported that arrived in [from, to), oldest first; at most `limit` entries.
    virtual Expected<std::vector<StoredReport>> reports(const std::string& deviceId, std::int64_t from, std::int64_t to,
                                                        std::size_t limit) = 0;
    // Removes what was reported, and the requests made, before `before` (Unix seconds); how many
    // reports went.
    virtual Expected<std::size_t> pruneActivity(std::int64_t before) = 0;
};

}  // namespace tessary::server
