#include "server/service/FamilyService.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "platform/Utf8.h"

namespace tessary::server {

namespace {

std::int64_t now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string randomDigits(std::size_t count)
{
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    const std::lock_guard lock(mutex);
    std::uniform_int_distribution<int> digit(0, 9);
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text.push_back(static_cast<char>('0' + digit(generator)));
    return text;
}

std::string randomToken()
{
    std::random_device source;
    std::ostringstream out;
    for (int i = 0; i < 4; ++i)
        out << std::hex << source();
    return out.str();
}

// Never throws: whatever a client managed to get recorded, a byte that is not UTF-8 is
// shown as U+FFFD.
std::string text(const nlohmann::json& value, int indent = -1)
{
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

HttpAnswer json(int status, const nlohmann::json& body)
{
    return HttpAnswer{status, "application/json", text(body)};
}

HttpAnswer problem(int status, const std::string& text)
{
    return json(status, {{"success", false}, {"error", text}});
}

nlohmann::json defaultRules()
{
    return {{"mode", "allow"},        {"blockedSites", nlohmann::json::array()},
            {"blockedApps", nlohmann::json::array()}, {"approvedSites", nlohmann::json::array()},
            {"approvedApps", nlohmann::json::array()}, {"grants", nlohmann::json::array()}};
}

std::optional<nlohmann::json> parseObject(const std::string& body)
{
    auto value = nlohmann::json::parse(body, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return std::nullopt;
    return value;
}

std::string stringOr(const nlohmann::json& object, const char* key, std::string fallback)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : fallback;
}

// A member that, when present, must be of one kind.
bool absentOr(const nlohmann::json& object, const char* key, bool (nlohmann::json::*kind)() const noexcept)
{
    const auto found = object.find(key);
    return found == object.end() || ((*found).*kind)();
}

bool isString(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string();
}

// An integer member within [low, high], when it is one.
std::optional<std::int64_t> integerIn(const nlohmann::json& object, const char* key, std::int64_t low, std::int64_t high)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer())
        return std::nullopt;
    if (found->is_number_unsigned() && found->get<std::uint64_t>() > static_cast<std::uint64_t>(high))
        return std::nullopt;
    const auto value = found->get<std::int64_t>();
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

// "/admin/devices/ID/rules" -> {"admin", "devices", "ID", "rules"}
std::vector<std::string> segments(const std::string& path)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(path);
    while (std::getline(in, part, '/'))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

}  // namespace

FamilyService::FamilyService(std::shared_ptr<server::FamilyStore> store, std::chrono::hours retention)
    : store_(std::move(store)), retention_(retention)
{
    load();
    if (store_)
        dashboard_ = std::make_unique<server::Dashboard>(store_, *this, [] { return now(); });
}

void FamilyService::load()
{
    if (!store_)
        return;
    auto contents = store_->load();
    if (!contents) {
        std::cerr << "The store could not be read: " << contents.error().description << "\n";
        return;
    }
    if (const auto& release = contents.value().release)
        release_ = {{"version", release->version}, {"build", release->build}};
    nextFamily_ = contents.value().nextFamily;
    for (auto& stored : contents.value().devices) {
        Device device;
        device.token = std::move(stored.token);
        device.familyId = std::move(stored.familyId);
        device.deleted = stored.deleted;
        device.pairing = std::move(stored.pairing);
        device.rules = stored.rules.empty() ? defaultRules() : std::move(stored.rules);
        device.lastHeartbeat = std::move(stored.lastHeartbeat);
        device.applications = std::move(stored.applications);
        for (auto& request : stored.accessRequests)
            device.accessRequests[request.url] = std::move(request);
        devices_.emplace(std::move(stored.id), std::move(device));
    }
    pruneWhenDue();
}

void FamilyService::keep(const std::optional<Error>& failed) const
{
    if (failed)
        std::cerr << "A change could not be kept: " << failed->description << "\n";
}

void FamilyService::keepDevice(const std::string& deviceId, const Device& device) const
{
    if (store_)
        keep(store_->putDevice({deviceId, device.token, device.familyId, device.deleted, device.pairing, device.rules}));
}

void FamilyService::pruneWhenDue()
{
    const auto current = now();
    if (!store_ || current - lastPrune_ < 3600)
        return;
    lastPrune_ = current;
    const auto before = current - std::chrono::duration_cast<std::chrono::seconds>(retention_).count();
    for (auto& [id, device] : devices_)
        std::erase_if(device.accessRequests, [before](const auto& entry) { return entry.second.requestedAt < before; });
    const auto pruned = store_->pruneActivity(before);
    if (!pruned)
        std::cerr << "Old reports could not be removed: " << pruned.error().description << "\n";
}

void FamilyService::serveAdminInterface()
{
    const std::lock_guard lock(mutex_);
    adminInterface_ = true;
}

bool FamilyService::servesAdminInterface() const
{
    const std::lock_guard lock(mutex_);
    return adminInterface_;
}

void FamilyService::attach(DeviceSockets* sockets)
{
    const std::lock_guard lock(mutex_);
    sockets_ = sockets;
}

void FamilyService::setBaseURL(std::string baseURL)
{
    const std::lock_guard lock(mutex_);
    baseURL_ = std::move(baseURL);
}

nlohmann::json FamilyService::headerObject(const HttpQuery& query)
{
    nlohmann::json headers = nlohmann::json::object();
    for (const auto& [name, value] : query.headers)
        headers[name] = value;
    return headers;
}

std::optional<std::string> FamilyService::authorizedDevice(const HttpQuery& query) const
{
    const auto deviceId = query.header("X-Device-Id");
    const auto authorization = query.header("Authorization");
    if (!deviceId || !authorization || authorization->rfind("Bearer ", 0) != 0)
        return std::nullopt;
    const auto device = devices_.find(*deviceId);
    if (device == devices_.end() || device->second.deleted || device->second.token.empty() ||
        authorization->substr(7) != device->second.token)
        return std::nullopt;
    return *deviceId;
}

std::optional<HttpAnswer> FamilyService::refusedAsMalformed(const HttpQuery& query, const std::string& path)
{
    for (const auto& [name, value] : query.headers)
        if (!Utf8::isValid(name) || !Utf8::isValid(value))
            return problem(400, "header values must be UTF-8");
    if (!Utf8::isValid(query.target))
        return problem(400, "the path must be UTF-8");
    const auto parts = segments(path);
    // The two requests that carry bytes, not text: a package, and a frame that may be malformed on purpose.
    const bool carriesBytes = (query.method == "PUT" && path == "/admin/package") ||
                              (query.method == "POST" && parts.size() == 4 && parts[0] == "admin" &&
                               parts[1] == "devices" && parts[3] == "send");
    if (!carriesBytes && !Utf8::isValid(query.body))
        return problem(400, "the body must be UTF-8");
    return std::nullopt;
}

ChannelAdmission FamilyService::admitChannel(const HttpQuery& upgrade)
{
    if (auto refusal = refusedAsMalformed(upgrade, "/ws/device"))
        return {std::nullopt, *refusal};
    const std::lock_guard lock(mutex_);
    if (upgradeStatus_)
        return {std::nullopt, problem(*upgradeStatus_, "upgrade refused as scripted")};
    auto deviceId = authorizedDevice(upgrade);
    if (!deviceId)
        return {std::nullopt, problem(401, "unauthorized")};
    if (adminInterface_)
        devices_.at(*deviceId).transcript.channelOpens.push_back({{"ts", now()}, {"headers", headerObject(upgrade)}});
    return {std::move(deviceId), {}};
}

HttpAnswer FamilyService::handle(const HttpQuery& query)
{
    const auto path = query.target.substr(0, query.target.find('?'));
    const auto refusal = refusedAsMalformed(query, path);
    auto answer = refusal ? *refusal : route(query, path);
    // The dashboard's requests carry passwords and session cookies: never recorded.
    if (path.rfind("/admin/", 0) != 0 && !server::Dashboard::serves(path)) {
        const std::lock_guard lock(mutex_);
        if (adminInterface_)
            requests_.push_back({{"method", query.method}, {"path", path}, {"headers", headerObject(query)},
                             {"body", query.body}, {"status", answer.status}, {"ts", now()}});
    }
    return answer;
}

HttpAnswer FamilyService::route(const HttpQuery& query, const std::string& path)
{
    if (path.rfind("/admin/", 0) == 0) {
        bool served;
        {
            const std::lock_guard lock(mutex_);
            served = adminInterface_;
        }
        return served ? routeAdmin(query, path) : problem(404, "not found");
    }
    if (dashboard_ && server::Dashboard::serves(path))
        return dashboard_->handle(query, path);
    {
        const std::lock_guard lock(mutex_);
        const auto scripted = scripted_.find(query.method + " " + path);
        if (scripted != scripted_.end())
            return scripted->second;
    }
    if (query.method == "POST" && path == "/api/use-setup-code")
        return pair(query);
    if (query.method == "POST" && path == "/api/heartbeat")
        return heartbeat(query, path);
    const std::lock_guard lock(mutex_);
    if (query.method == "GET" && path == "/api/device/rules") {
        const auto deviceId = authorizedDevice(query);
        if (!deviceId)
            return problem(401, "unauthorized");
        return json(200, devices_.at(*deviceId).rules);
    }
    if (query.method == "GET" && path == "/releases/version.json")
        return json(200, release_);
    if (query.method == "GET" && path == "/releases/Tessary.pkg") {
        if (!package_)
            return problem(404, "no package published");
        return HttpAnswer{200, "application/octet-stream", *package_};
    }
    if (query.method == "GET" && path == "/releases/tessary-web-extension.xpi") {
        if (!firefoxExtension_)
            return problem(404, "no extension published");
        return HttpAnswer{200, "application/x-xpinstall", *firefoxExtension_};
    }
    return problem(404, "not found");
}

HttpAnswer FamilyService::pair(const HttpQuery& query)
{
    const auto body = parseObject(query.body);
    if (!body || !isString(*body, "setupCode") || !isString(*body, "deviceId"))
        return problem(400, "setupCode and deviceId are required");
    const auto code = (*body)["setupCode"].get<std::string>();
    const auto deviceId = (*body)["deviceId"].get<std::string>();
    const std::lock_guard lock(mutex_);
    const auto family = setupCodes_.find(code);
    if (family == setupCodes_.end() || (family->second.expiresAt && *family->second.expiresAt <= now()))
        return problem(404, "unknown setup code");
    Device device;
    device.token = randomToken();
    device.familyId = family->second.familyId;
    device.pairing = *body;
    device.rules = defaultRules();
    if (const auto known = devices_.find(deviceId); known != devices_.end()) {
        // A device another family still has is not theirs to take: its identifier is no secret.
        if (!known->second.deleted && known->second.familyId != device.familyId)
            return problem(409, "the device belongs to another family");
        // Paired again in its own family, what it reported before is still the family's.
        if (known->second.familyId == device.familyId) {
            device.lastHeartbeat = known->second.lastHeartbeat;
            device.applications = known->second.applications;
            device.accessRequests = known->second.accessRequests;
        }
    }
    // A pairing the store did not keep would be lost at the next restart: the device hears that
    // it failed and may try the code again.
    if (store_) {
        if (auto failed = store_->putDevice({deviceId, device.token, device.familyId, false, device.pairing, device.rules})) {
            keep(failed);
            return problem(503, "the pairing could not be kept");
        }
    }
    setupCodes_.erase(family);
    const auto token = device.token;
    const auto familyId = device.familyId;
    devices_[deviceId] = std::move(device);
    return json(200, {{"success", true}, {"familyId", familyId}, {"token", token}});
}

HttpAnswer FamilyService::heartbeat(const HttpQuery& query, const std::string&)
{
    const std::lock_guard lock(mutex_);
    const auto deviceId = authorizedDevice(query);
    if (!deviceId)
        return problem(401, "unauthorized");
    auto& device = devices_.at(*deviceId);
    if (adminInterface_)
        device.transcript.heartbeats.push_back({{"ts", now()}, {"headers", headerObject(query)}});
    // A heartbeat without a problem keeps the one reported before, as the store does.
    auto problem = query.header("X-App-Error");
    const auto reported = problem;
    if (!problem && device.lastHeartbeat)
        problem = device.lastHeartbeat->appError;
    device.lastHeartbeat = server::StoredHeartbeat{now(), query.header("X-App-Version").value_or(""), problem};
    if (store_) {
        keep(store_->recordHeartbeat(*deviceId, {device.lastHeartbeat->at, device.lastHeartbeat->version, reported}));
        pruneWhenDue();
    }
    const auto build = query.header("X-App-Build").value_or("");
    const auto published = release_.value("build", "");
    nlohmann::json reply = {{"ok", true}, {"updateAvailable", build < published}};
    if (build < published) {
        reply["latestVersion"] = release_.value("version", "");
        reply["downloadUrl"] = baseURL_ + "releases/Tessary.pkg";
    }
    return json(200, reply);
}

void FamilyService::setFrameObserver(FrameObserver observer)
{
    const std::lock_guard lock(mutex_);
    frameObserver_ = std::move(observer);
}

void FamilyService::recordPing(const std::string& deviceId)
{
    const std::lock_guard lock(mutex_);
    const auto device = devices_.find(deviceId);
    if (device != devices_.end())
        ++device->second.transcript.pings;
}

void FamilyService::recordFrame(const std::string& deviceId, const std::string& text)
{
    FrameObserver observer;
    {
        const std::lock_guard lock(mutex_);
        if (!record(deviceId, text))
            return;
        observer = frameObserver_;
    }
    if (observer)
        observer(deviceId, text);
}

bool FamilyService::record(const std::string& deviceId, const std::string& text)
{
    const auto device = devices_.find(deviceId);
    if (device == devices_.end())
        return false;
    auto message = nlohmann::json::parse(text, nullptr, false);
    const std::string type = (!message.is_discarded() && message.is_object() && message["type"].is_string())
                                 ? message["type"].get<std::string>()
                                 : std::string();
    const auto payload = type.empty() ? nlohmann::json(text) : message["payload"];
    if (store_ && !type.empty())
        keep(store_->recordActivity(deviceId, type, now(), text));
    learnFrom(deviceId, device->second, type, payload);
    if (!adminInterface_)
        return true;
    auto& transcript = device->second.transcript;
    const nlohmann::json entry = {{"ts", now()}, {"payload", payload}};
    if (type == "status")
        transcript.statuses.push_back(entry);
    else if (type == "activity")
        transcript.activity.push_back(entry);
    else if (type == "access_request")
        transcript.accessRequests.push_back(entry);
    else if (type == "blocked_app_launch")
        transcript.blockedLaunches.push_back(entry);
    else
        transcript.otherMessages.push_back({{"ts", now()}, {"text", text}});
    return true;
}

void FamilyService::learnFrom(const std::string& deviceId, Device& device, const std::string& type,
                              const nlohmann::json& payload)
{
    if (!payload.is_object())
        return;
    const auto learnApplication = [&](const nlohmann::json& report) {
        if (!report.is_object() || !isString(report, "bundleId"))
            return;
        const auto identifier = report["bundleId"].get<std::string>();
        const auto name = stringOr(report, "appName", identifier);
        auto& known = device.applications[identifier];
        if (known == name)
            return;
        known = name;
        if (store_)
            keep(store_->putApplication(deviceId, identifier, name));
    };
    if (type == "activity") {
        if (const auto events = payload.find("events"); events != payload.end() && events->is_array())
            for (const auto& event : *events)
                learnApplication(event);
    }
    else if (type == "blocked_app_launch")
        learnApplication(payload);
    else if (type == "access_request" && isString(payload, "url")) {
        const auto url = payload["url"].get<std::string>();
        auto& request = device.accessRequests[url];
        request.url = url;
        request.title = stringOr(payload, "title", "");
        request.requestedAt = now();
        if (store_)
            keep(store_->putAccessRequest(deviceId, request));
    }
}

std::size_t FamilyService::pushMessage(const std::string& deviceId, const nlohmann::json& message)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
    }
    return sockets ? sockets->push(deviceId, text(message)) : 0;
}

std::string FamilyService::newSetupCode(const std::string& familyId, std::optional<std::int64_t> expiresAt)
{
    const auto current = now();
    std::erase_if(setupCodes_, [current](const auto& entry) {
        return entry.second.expiresAt && *entry.second.expiresAt <= current;
    });
    std::string code;
    do
        code = randomDigits(6);
    while (setupCodes_.count(code) != 0);
    setupCodes_[code] = {familyId, expiresAt};
    return code;
}

nlohmann::json FamilyService::issueSetupCode(std::optional<std::string> familyId)
{
    const std::lock_guard lock(mutex_);
    const auto family = familyId.value_or("family-" + std::to_string(nextFamily_++));
    const auto code = newSetupCode(family, std::nullopt);
    if (store_ && !familyId)
        keep(store_->putNextFamily(nextFamily_));
    return {{"setupCode", code}, {"familyId", family}};
}

std::string FamilyService::issueSetupCode(const std::string& familyId, std::int64_t validFor)
{
    const std::lock_guard lock(mutex_);
    return newSetupCode(familyId, now() + validFor);
}

FamilyService::Device* FamilyService::familyDevice(const std::string& familyId, const std::string& deviceId)
{
    const auto device = devices_.find(deviceId);
    if (device == devices_.end() || device->second.deleted || device->second.familyId != familyId)
        return nullptr;
    return &device->second;
}

std::vector<server::AccessRequestSummary> FamilyService::pendingRequests(const std::string& familyId)
{
    const std::lock_guard lock(mutex_);
    std::vector<server::AccessRequestSummary> pending;
    for (const auto& [id, device] : devices_) {
        if (device.familyId != familyId || device.deleted)
            continue;
        for (const auto& [url, request] : device.accessRequests)
            if (request.pending())
                pending.push_back({id, stringOr(device.pairing, "deviceName", ""), url, request.title, request.requestedAt});
    }
    std::sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) { return a.at < b.at; });
    return pending;
}

bool FamilyService::answerRequest(const std::string& familyId, const std::string& deviceId, const std::string& url,
                                  server::RequestAnswer answer)
{
    {
        const std::lock_guard lock(mutex_);
        auto* device = familyDevice(familyId, deviceId);
        if (!device)
            return false;
        const auto request = device->accessRequests.find(url);
        if (request == device->accessRequests.end() || !request->second.pending())
            return false;
        request->second.answeredAt = now();
        if (store_)
            keep(store_->putAccessRequest(deviceId, request->second));
    }
    if (answer.grant)
        grantAccess(deviceId, url, answer.expiry ? std::optional<nlohmann::json>(*answer.expiry) : std::nullopt);
    else
        denyAccess(deviceId, url);
    return true;
}

bool FamilyService::removeDevice(const std::string& familyId, const std::string& deviceId)
{
    {
        const std::lock_guard lock(mutex_);
        if (!familyDevice(familyId, deviceId))
            return false;
    }
    return deleteDevice(deviceId);
}

std::optional<server::DeviceRules> FamilyService::rulesOf(const std::string& familyId, const std::string& deviceId)
{
    const std::lock_guard lock(mutex_);
    const auto* device = familyDevice(familyId, deviceId);
    if (!device)
        return std::nullopt;
    return server::DeviceRules{stringOr(device->pairing, "deviceName", ""), device->rules, device->applications};
}

bool FamilyService::saveRules(const std::string& familyId, const std::string& deviceId, const nlohmann::json& rules)
{
    nlohmann::json complete = rules;
    {
        const std::lock_guard lock(mutex_);
        const auto* device = familyDevice(familyId, deviceId);
        if (!device)
            return false;
        const auto grants = device->rules.find("grants");
        complete["grants"] = grants != device->rules.end() && grants->is_array() ? *grants : nlohmann::json::array();
    }
    pushRules(deviceId, complete);
    return true;
}

std::optional<server::DeviceReports> FamilyService::reportsOf(const std::string& familyId, const std::string& deviceId,
                                                          std::int64_t from, std::int64_t to)
{
    constexpr std::size_t kMostReports = 100'000;
    server::DeviceReports found;
    {
        const std::lock_guard lock(mutex_);
        const auto* device = familyDevice(familyId, deviceId);
        if (!device)
            return std::nullopt;
        found.deviceName = stringOr(device->pairing, "deviceName", "");
    }
    if (store_) {
        auto reports = store_->reports(deviceId, from, to, kMostReports);
        if (!reports)
            std::cerr << "The reports could not be read: " << reports.error().description << "\n";
        else
            found.reports = std::move(reports).value();
    }
    return found;
}

std::vector<server::DeviceSummary> FamilyService::devicesOf(const std::string& familyId)
{
    std::vector<server::DeviceSummary> summaries;
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
        for (const auto& [id, device] : devices_) {
            if (device.familyId != familyId || device.deleted)
                continue;
            server::DeviceSummary summary;
            summary.id = id;
            summary.name = stringOr(device.pairing, "deviceName", "");
            if (device.lastHeartbeat) {
                summary.lastSeen = device.lastHeartbeat->at;
                summary.version = device.lastHeartbeat->version;
                summary.problem = device.lastHeartbeat->appError.value_or("");
            }
            summaries.push_back(std::move(summary));
        }
    }
    // The transport's own lock is never taken under the service's.
    for (auto& summary : summaries)
        summary.online = sockets && sockets->open(summary.id) > 0;
    return summaries;
}

std::size_t FamilyService::pushRules(const std::string& deviceId, const nlohmann::json& rules)
{
    {
        const std::lock_guard lock(mutex_);
        const auto device = devices_.find(deviceId);
        if (device == devices_.end())
            return 0;
        device->second.rules = rules;
        keepDevice(deviceId, device->second);
    }
    return pushMessage(deviceId, {{"type", "rules_updated"}, {"payload", rules}});
}

std::size_t FamilyService::grantAccess(const std::string& deviceId, const std::string& url,
                                    std::optional<nlohmann::json> expiry)
{
    nlohmann::json payload = {{"url", url}};
    if (expiry)
        payload["expiry"] = *expiry;
    {
        const std::lock_guard lock(mutex_);
        const auto device = devices_.find(deviceId);
        if (device == devices_.end())
            return 0;
        auto& grants = device->second.rules["grants"];
        if (grants.is_array()) {
            // Expired grants, and an earlier one for the same site, give way: the list stays short.
            const auto current = now();
            grants.erase(std::remove_if(grants.begin(), grants.end(),
                                        [&](const nlohmann::json& grant) {
                                            if (!grant.is_object())
                                                return false;
                                            const auto until = grant.find("expiry");
                                            return stringOr(grant, "url", "") == url ||
                                                   (until != grant.end() && until->is_number() &&
                                                    until->get<double>() < static_cast<double>(current));
                                        }),
                         grants.end());
            grants.push_back(payload);
        }
        keepDevice(deviceId, device->second);
    }
    return pushMessage(deviceId, {{"type", "access_granted"}, {"payload", payload}});
}

std::size_t FamilyService::denyAccess(const std::string& deviceId, const std::string& url)
{
    return pushMessage(deviceId, {{"type", "access_denied"}, {"payload", {{"url", url}}}});
}

bool FamilyService::deleteDevice(const std::string& deviceId)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        const auto device = devices_.find(deviceId);
        if (device == devices_.end() || device->second.deleted)
            return false;
        device->second.deleted = true;
        device->second.token.clear();
        sockets = sockets_;
        keepDevice(deviceId, device->second);
    }
    if (sockets) {
        sockets->push(deviceId, text({{"type", "device_deleted"}, {"payload", nlohmann::json::object()}}));
        sockets->close(deviceId, 1000);
    }
    return true;
}

std::size_t FamilyService::sendRaw(const std::string& deviceId, const std::string& text)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
    }
    return sockets ? sockets->push(deviceId, text) : 0;
}

std::size_t FamilyService::closeChannels(const std::string& deviceId, std::uint16_t code)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
    }
    return sockets ? sockets->close(deviceId, code) : 0;
}

std::size_t FamilyService::stallChannels(const std::string& deviceId, bool stalled)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
    }
    return sockets ? sockets->stall(deviceId, stalled) : 0;
}

void FamilyService::scriptUpgradeStatus(std::optional<int> status)
{
    const std::lock_guard lock(mutex_);
    upgradeStatus_ = status;
}

void FamilyService::setRelease(const std::string& version, const std::string& build)
{
    const std::lock_guard lock(mutex_);
    release_ = {{"version", version}, {"build", build}};
    if (store_)
        keep(store_->putRelease({version, build}));
}

void FamilyService::setPackage(std::string bytes)
{
    const std::lock_guard lock(mutex_);
    package_ = std::move(bytes);
}

void FamilyService::setFirefoxExtension(std::string bytes)
{
    const std::lock_guard lock(mutex_);
    firefoxExtension_ = std::move(bytes);
}

void FamilyService::scriptReply(const std::string& method, const std::string& path, HttpAnswer answer)
{
    const std::lock_guard lock(mutex_);
    scripted_[method + " " + path] = std::move(answer);
}

void FamilyService::clearScriptedReplies()
{
    const std::lock_guard lock(mutex_);
    scripted_.clear();
}

nlohmann::json FamilyService::devices() const
{
    const std::lock_guard lock(mutex_);
    nlohmann::json list = nlohmann::json::object();
    for (const auto& [id, device] : devices_)
        list[id] = {{"familyId", device.familyId},
                    {"deleted", device.deleted},
                    {"pairing", device.pairing},
                    {"rules", device.rules},
                    {"heartbeats", device.transcript.heartbeats},
                    {"channelOpens", device.transcript.channelOpens},
                    {"statuses", device.transcript.statuses},
                    {"activity", device.transcript.activity},
                    {"accessRequests", device.transcript.accessRequests},
                    {"blockedLaunches", device.transcript.blockedLaunches},
                    {"otherMessages", device.transcript.otherMessages},
                    {"pings", device.transcript.pings}};
    return list;
}

nlohmann::json FamilyService::requests() const
{
    const std::lock_guard lock(mutex_);
    return requests_;
}

HttpAnswer FamilyService::routeAdmin(const HttpQuery& query, const std::string& path)
{
    const auto parts = segments(path);  // parts[0] == "admin"
    const auto& method = query.method;
    // Requests without a body read as {}; a body that is not a JSON object is refused where one is read.
    const auto body = parseObject(query.body.empty() ? "{}" : query.body);
    const auto notAnObject = [] { return problem(400, "the body must be a JSON object"); };

    if (parts.size() == 2 && parts[1] == "setup-codes" && method == "POST") {
        if (!body)
            return notAnObject();
        if (!absentOr(*body, "familyId", &nlohmann::json::is_string))
            return problem(400, "familyId must be a string");
        return json(200, issueSetupCode(body->contains("familyId") ? std::optional((*body)["familyId"].get<std::string>())
                                                                   : std::nullopt));
    }
    if (parts.size() == 2 && parts[1] == "devices" && method == "GET")
        return json(200, devices());
    if (parts.size() == 2 && parts[1] == "requests" && method == "GET")
        return json(200, requests());
    if (parts.size() == 2 && parts[1] == "release" && method == "PUT") {
        if (!body || !isString(*body, "version") || !isString(*body, "build"))
            return problem(400, "version and build (strings) are required");
        setRelease((*body)["version"], (*body)["build"]);
        return json(200, {{"ok", true}});
    }
    if (parts.size() == 2 && parts[1] == "package" && method == "PUT") {
        setPackage(query.body);
        return json(200, {{"ok", true}, {"bytes", query.body.size()}});
    }
    if (parts.size() == 2 && parts[1] == "replies" && method == "PUT") {
        const auto status = body ? integerIn(*body, "status", 100, 599) : std::nullopt;
        if (!body || !isString(*body, "method") || !isString(*body, "path") || !status)
            return problem(400, "method, path (strings) and status (100 to 599) are required");
        if (!absentOr(*body, "body", &nlohmann::json::is_string) ||
            !absentOr(*body, "contentType", &nlohmann::json::is_string))
            return problem(400, "body and contentType must be strings");
        scriptReply((*body)["method"], (*body)["path"],
                    HttpAnswer{static_cast<int>(*status), stringOr(*body, "contentType", "application/json"),
                               stringOr(*body, "body", "")});
        return json(200, {{"ok", true}});
    }
    if (parts.size() == 2 && parts[1] == "replies" && method == "DELETE") {
        clearScriptedReplies();
        return json(200, {{"ok", true}});
    }
    if (parts.size() == 2 && parts[1] == "upgrade" && method == "PUT") {
        const auto status = body ? integerIn(*body, "status", 200, 599) : std::nullopt;
        if (!status)
            return problem(400, "status (200 to 599) is required");
        scriptUpgradeStatus(static_cast<int>(*status));
        return json(200, {{"ok", true}});
    }
    if (parts.size() == 2 && parts[1] == "upgrade" && method == "DELETE") {
        scriptUpgradeStatus(std::nullopt);
        return json(200, {{"ok", true}});
    }
    if (parts.size() >= 3 && parts[1] == "devices") {
        const auto& deviceId = parts[2];
        const std::string action = parts.size() == 4 ? parts[3] : std::string();
        if (parts.size() == 3 && method == "DELETE")
            return deleteDevice(deviceId) ? json(200, {{"ok", true}}) : problem(404, "no such device");
        if (action == "rules" && method == "PUT") {
            if (!body)
                return problem(400, "the rules must be a JSON object");
            return json(200, {{"delivered", pushRules(deviceId, *body)}});
        }
        if (action == "grant" && method == "POST") {
            if (!body || !isString(*body, "url"))
                return problem(400, "url is required");
            std::optional<nlohmann::json> expiry;
            if (body->contains("expiry"))
                expiry = (*body)["expiry"];
            return json(200, {{"delivered", grantAccess(deviceId, (*body)["url"], expiry)}});
        }
        if (action == "deny" && method == "POST") {
            if (!body || !isString(*body, "url"))
                return problem(400, "url is required");
            return json(200, {{"delivered", denyAccess(deviceId, (*body)["url"])}});
        }
        if (action == "send" && method == "POST")
            return json(200, {{"delivered", sendRaw(deviceId, query.body)}});
        if (action == "close" && method == "POST") {
            if (!body)
                return notAnObject();
            const auto code = body->contains("code") ? integerIn(*body, "code", 1000, 4999) : std::optional<std::int64_t>(1000);
            if (!code)
                return problem(400, "code must be 1000 to 4999");
            return json(200, {{"closed", closeChannels(deviceId, static_cast<std::uint16_t>(*code))}});
        }
        if (action == "stall" && (method == "POST" || method == "DELETE"))
            return json(200, {{"channels", stallChannels(deviceId, method == "POST")}});
    }
    return problem(404, "not found");
}

}  // namespace tessary::server
