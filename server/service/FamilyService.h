#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/HttpMessages.h"
#include "server/dashboard/Dashboard.h"
#include "server/storage/FamilyStore.h"
#include "server/service/DeviceSockets.h"

namespace tessary::server {

using server::HttpAnswer;
using server::HttpQuery;

// What a channel upgrade gets: the device it opens a channel for, or the refusal to send.
struct ChannelAdmission {
    std::optional<std::string> deviceId;
    HttpAnswer refusal;
};

// The family server's logic, apart from its transport: the device API the agent relies on, what
// devices report, (with a store) the parents' dashboard, and for tests the admin API. Safe from
// any thread.
class FamilyService final : public server::FamilyDirectory {
public:
    // With a store, families, paired devices with their rules, the published release and what
    // devices report survive a restart; reports older than `retention` are removed as time passes.
    explicit FamilyService(std::shared_ptr<server::FamilyStore> store = nullptr,
                        std::chrono::hours retention = kDefaultRetention);
    // Serves /admin/ and keeps every request and frame in memory for it to show. Only for tests and
    // development: the admin interface asks for no credentials.
    void serveAdminInterface();
    bool servesAdminInterface() const;

    static constexpr std::chrono::hours kDefaultRetention{30 * 24};

    void attach(DeviceSockets* sockets);
    // Base URL announced in heartbeat replies ("https://host:port/").
    void setBaseURL(std::string baseURL);

    // Any request, however malformed, gets an answer; bad input is answered 400.
    HttpAnswer handle(const HttpQuery& query);
    // Admits an upgrade with well-formed headers and a valid X-Device-Id and bearer token (and
    // records it), unless an upgrade status is scripted.
    ChannelAdmission admitChannel(const HttpQuery& upgrade);
    // A text frame a device sent over its channel.
    void recordFrame(const std::string& deviceId, const std::string& text);
    // Called with each text frame once it is recorded, on the thread that received it, without
    // the service's lock held (so it may call back into the service).
    using FrameObserver = std::function<void(const std::string& deviceId, const std::string& text)>;
    void setFrameObserver(FrameObserver observer);
    // A ping that arrived over a device's channel (the transport answers it).
    void recordPing(const std::string& deviceId);

    // The admin operations, also reachable over HTTP under /admin/.
    nlohmann::json issueSetupCode(std::optional<std::string> familyId = std::nullopt);
    std::size_t pushRules(const std::string& deviceId, const nlohmann::json& rules);
    std::size_t grantAccess(const std::string& deviceId, const std::string& url, std::optional<nlohmann::json> expiry);
    std::size_t denyAccess(const std::string& deviceId, const std::string& url);
    bool deleteDevice(const std::string& deviceId);
    std::size_t sendRaw(const std::string& deviceId, const std::string& text);
    std::size_t closeChannels(const std::string& deviceId, std::uint16_t code);
    std::size_t stallChannels(const std::string& deviceId, bool stalled);
    // Answers every channel upgrade with this status until cleared (absent).
    void scriptUpgradeStatus(std::optional<int> status);
    void setRelease(const std::string& version, const std::string& build);
    void setPackage(std::string bytes);
    // Served at releases/tessary-web-extension.xpi, where Firefox's policy installs the extension from.
    void setFirefoxExtension(std::string bytes);
    // Answers every `method path` request this way until cleared.
    void scriptReply(const std::string& method, const std::string& path, HttpAnswer answer);
    void clearScriptedReplies();
    nlohmann::json devices() const;
    nlohmann::json requests() const;

    std::vector<server::DeviceSummary> devicesOf(const std::string& familyId) override;
    std::string issueSetupCode(const std::string& familyId, std::int64_t validFor) override;
    std::vector<server::AccessRequestSummary> pendingRequests(const std::string& familyId) override;
    bool answerRequest(const std::string& familyId, const std::string& deviceId, const std::string& url,
                       server::RequestAnswer answer) override;
    bool removeDevice(const std::string& familyId, const std::string& deviceId) override;
    std::optional<server::DeviceRules> rulesOf(const std::string& familyId, const std::string& deviceId) override;
    bool saveRules(const std::string& familyId, const std::string& deviceId, const nlohmann::json& rules) override;
    std::optional<server::DeviceReports> reportsOf(const std::string& familyId, const std::string& deviceId,
                                                   std::int64_t from, std::int64_t to) override;

private:
    // Everything a device sent, kept in memory for the admin interface's readers (tests) only.
    struct Transcript {
        nlohmann::json heartbeats = nlohmann::json::array();
        nlohmann::json channelOpens = nlohmann::json::array();
        nlohmann::json statuses = nlohmann::json::array();
        nlohmann::json activity = nlohmann::json::array();
        nlohmann::json accessRequests = nlohmann::json::array();
        nlohmann::json blockedLaunches = nlohmann::json::array();
        nlohmann::json otherMessages = nlohmann::json::array();
        std::uint64_t pings = 0;
    };
    struct Device {
        std::string token;
        std::string familyId;
        bool deleted = false;
        nlohmann::json pairing;
        nlohmann::json rules;
        std::optional<server::StoredHeartbeat> lastHeartbeat;
        std::map<std::string, std::string> applications;
        std::map<std::string, server::StoredAccessRequest> accessRequests;  // by URL
        Transcript transcript;
    };
    // Caller holds mutex_. Learns the applications and requests a report names.
    void learnFrom(const std::string& deviceId, Device& device, const std::string& type, const nlohmann::json& payload);
    // Caller holds mutex_. The device when it is the family's and not deleted.
    Device* familyDevice(const std::string& familyId, const std::string& deviceId);

    HttpAnswer route(const HttpQuery& query, const std::string& path);
    HttpAnswer routeAdmin(const HttpQuery& query, const std::string& path);
    HttpAnswer pair(const HttpQuery& query);
    HttpAnswer heartbeat(const HttpQuery& query, const std::string& deviceId);
    // Caller holds mutex_.
    std::optional<std::string> authorizedDevice(const HttpQuery& query) const;
    // Caller holds mutex_. False when the device is unknown.
    bool record(const std::string& deviceId, const std::string& text);
    std::size_t pushMessage(const std::string& deviceId, const nlohmann::json& message);
    void load();
    // Caller holds mutex_. A change the store could not keep is said on stderr; the service
    // serves on from memory.
    void keep(const std::optional<Error>& failed) const;
    void keepDevice(const std::string& deviceId, const Device& device) const;
    // Caller holds mutex_. Removes reports past the retention, at most once an hour.
    void pruneWhenDue();
    static nlohmann::json headerObject(const HttpQuery& query);
    static std::optional<HttpAnswer> refusedAsMalformed(const HttpQuery& query, const std::string& path);

    mutable std::mutex mutex_;
    DeviceSockets* sockets_ = nullptr;
    FrameObserver frameObserver_;
    std::shared_ptr<server::FamilyStore> store_;
    std::chrono::hours retention_;
    std::int64_t lastPrune_ = 0;
    std::unique_ptr<server::Dashboard> dashboard_;
    std::string baseURL_;
    struct SetupCode {
        std::string familyId;
        // Unix seconds; absent for the codes of the admin interface, which a developer may type later.
        std::optional<std::int64_t> expiresAt;
    };
    // Caller holds mutex_. A fresh six-digit code for the family.
    std::string newSetupCode(const std::string& familyId, std::optional<std::int64_t> expiresAt);

    std::map<std::string, SetupCode> setupCodes_;
    std::map<std::string, Device> devices_;
    nlohmann::json release_ = {{"version", "1.0.0"}, {"build", "1"}};
    std::optional<std::string> package_;
    std::optional<std::string> firefoxExtension_;
    std::map<std::string, HttpAnswer> scripted_;  // "METHOD /path"
    std::optional<int> upgradeStatus_;
    bool adminInterface_ = false;
    nlohmann::json requests_ = nlohmann::json::array();
    std::uint64_t nextFamily_ = 1;
};

}  // namespace tessary::server
