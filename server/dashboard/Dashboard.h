#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/HttpMessages.h"
#include "server/storage/FamilyStore.h"

namespace tessary::server {

// What the dashboard shows of one device.
struct DeviceSummary {
    std::string id;
    std::string name;
    bool online = false;
    // Unix seconds of the last heartbeat; absent before the first.
    std::optional<std::int64_t> lastSeen;
    std::string version;
    // The last problem the agent reported (a finding of tampering, an error it met); empty for none.
    std::string problem = {};
};

// A child's request for a site, waiting for a parent's answer.
struct AccessRequestSummary {
    std::string deviceId;
    std::string deviceName;
    std::string url;
    std::string title;
    // Unix seconds.
    std::int64_t at = 0;
};

// A parent's answer to a request: a grant until `expiry` (Unix seconds; for good when absent), or
// a refusal.
struct RequestAnswer {
    bool grant = false;
    std::optional<std::int64_t> expiry;
};

// A device's rules as the dashboard edits them, with the applications it has reported.
struct DeviceRules {
    std::string deviceName;
    // The rules payload: "mode", "blockedSites", "approvedSites", "blockedApps", "approvedApps", "grants".
    nlohmann::json rules;
    // Identifier and display name of each application the device reported, by identifier.
    std::map<std::string, std::string> applications;
};

// What a device reported in a span of time.
struct DeviceReports {
    std::string deviceName;
    std::vector<StoredReport> reports;
};

// What the dashboard asks of the service about a family. Every call names the family, and a device
// of another family is treated as one that does not exist.
class FamilyDirectory {
public:
    virtual ~FamilyDirectory() = default;
    virtual std::vector<DeviceSummary> devicesOf(const std::string& familyId) = 0;
    // A six-digit code that pairs a device with the family, valid for `validFor` seconds.
    virtual std::string issueSetupCode(const std::string& familyId, std::int64_t validFor) = 0;
    // The latest request for each site not answered since, oldest first.
    virtual std::vector<AccessRequestSummary> pendingRequests(const std::string& familyId) = 0;
    // False when no such request waits.
    virtual bool answerRequest(const std::string& familyId, const std::string& deviceId, const std::string& url,
                               RequestAnswer answer) = 0;
    // Revokes the device's pairing (it returns to its setup wizard); false when there is no such device.
    virtual bool removeDevice(const std::string& familyId, const std::string& deviceId) = 0;
    virtual std::optional<DeviceRules> rulesOf(const std::string& familyId, const std::string& deviceId) = 0;
    // Keeps the rules (the device's grants stay) and sends them as "rules_updated"; false when there
    // is no such device.
    virtual bool saveRules(const std::string& familyId, const std::string& deviceId, const nlohmann::json& rules) = 0;
    // What arrived from the device in [from, to) (Unix seconds); absent when there is no such device.
    virtual std::optional<DeviceReports> reportsOf(const std::string& familyId, const std::string& deviceId,
                                                   std::int64_t from, std::int64_t to) = 0;
};

// The parents' dashboard at "/": sign-in, the family's devices (removable, each with its rules:
// allow or deny mode, blocked and approved sites, blocked and approved applications among those
// it reported, and its activity day by day: a filterable timeline and the day's summary), a new
// setup code, and the children's requests for sites, granted for 15 minutes, an hour, the rest of the day (the
// server's) or for good, or denied. Plain HTML without script. A session is a random token in a cookie (HttpOnly, Secure, SameSite=Strict) of
// which only a digest is kept, ending after 12 hours or at sign-out; every form carries a token
// of its session (or, for signing in, of its page) that must come back with it. Five wrong
// passwords for one name within 15 minutes close that name for the rest of the window, and 30
// in a minute close signing in for everyone for that minute, before any password is checked.
// Safe from any thread.
class Dashboard {
public:
    using Clock = std::function<std::int64_t()>;

    static constexpr std::int64_t kSessionLifetime = 12 * 3600;
    static constexpr std::int64_t kSetupCodeLifetime = 10 * 60;
    static constexpr int kFailuresPerName = 5;
    static constexpr std::int64_t kFailureWindow = 15 * 60;
    static constexpr int kFailuresPerMinute = 30;

    // `store` holds the parents; `now` gives Unix seconds.
    Dashboard(std::shared_ptr<FamilyStore> store, FamilyDirectory& directory, Clock now);

    // Whether `path` is the dashboard's to answer.
    static bool serves(const std::string& path);
    HttpAnswer handle(const HttpQuery& query, const std::string& path);

private:
    struct Session {
        std::string parentName;
        std::string familyId;
        std::string formToken;
        std::int64_t expiresAt;
    };
    struct Failures {
        int count = 0;
        std::int64_t windowStart = 0;
    };

    // Caller holds mutex_.
    const Session* sessionOf(const HttpQuery& query);
    HttpAnswer signIn(const HttpQuery& query);
    HttpAnswer signInPage(int status, const std::string& message);
    HttpAnswer familyPage(const Session& session, const std::string& notice);
    // The part of the family page that changes by itself (requests, devices), which the page's
    // script fetches again to show what arrived since.
    std::string liveSection(const Session& session);
    // The family's forms once the session and its form token are checked.
    HttpAnswer familyAction(const Session& session, const std::string& path,
                            const std::multimap<std::string, std::string>& form);
    HttpAnswer rulesPage(const Session& session, const std::string& deviceId, const std::string& notice);
    HttpAnswer saveRules(const Session& session, const std::multimap<std::string, std::string>& form);
    HttpAnswer activityPage(const Session& session, const std::multimap<std::string, std::string>& query);
    // Caller holds mutex_. False (and counted) when too many attempts failed.
    bool mayTry(const std::string& name);
    void countFailure(const std::string& name);

    std::shared_ptr<FamilyStore> store_;
    FamilyDirectory& directory_;
    Clock now_;
    std::mutex mutex_;
    // By the digest of the session's token.
    std::map<std::string, Session> sessions_;
    std::map<std::string, Failures> failuresByName_;
    Failures recentFailures_;
};

}  // namespace tessary::server
