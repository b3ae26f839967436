#include "tools/devservice/DevService.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

namespace tessary::devservice {

namespace {

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

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

HttpAnswer json(int status, const nlohmann::json& body)
{
    return HttpAnswer{status, "application/json", body.dump()};
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

std::optional<std::string> HttpQuery::header(const std::string& name) const
{
    const auto wanted = lowered(name);
    for (const auto& [key, value] : headers)
        if (lowered(key) == wanted)
            return value;
    return std::nullopt;
}

DevService::DevService(std::optional<std::filesystem::path> stateFile) : stateFile_(std::move(stateFile))
{
    if (!stateFile_)
        return;
    std::ifstream in(*stateFile_);
    auto saved = nlohmann::json::parse(in, nullptr, false);
    if (saved.is_discarded() || !saved.is_object())
        return;
    if (saved.contains("release") && saved["release"].is_object())
        release_ = saved["release"];
    nextFamily_ = saved.value("nextFamily", std::uint64_t{1});
    const auto devices = saved.value("devices", nlohmann::json::object());
    for (const auto& [id, entry] : devices.items()) {
        Device device;
        device.token = entry.value("token", "");
        device.familyId = entry.value("familyId", "");
        device.deleted = entry.value("deleted", false);
        device.pairing = entry.value("pairing", nlohmann::json::object());
        device.rules = entry.value("rules", defaultRules());
        devices_.emplace(id, std::move(device));
    }
}

void DevService::attach(DeviceSockets* sockets)
{
    const std::lock_guard lock(mutex_);
    sockets_ = sockets;
}

void DevService::setBaseURL(std::string baseURL)
{
    const std::lock_guard lock(mutex_);
    baseURL_ = std::move(baseURL);
}

void DevService::save() const
{
    if (!stateFile_)
        return;
    nlohmann::json devices = nlohmann::json::object();
    for (const auto& [id, device] : devices_)
        devices[id] = {{"token", device.token}, {"familyId", device.familyId}, {"deleted", device.deleted},
                       {"pairing", device.pairing}, {"rules", device.rules}};
    const nlohmann::json state = {{"release", release_}, {"nextFamily", nextFamily_}, {"devices", devices}};
    const auto temporary = stateFile_->string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << state.dump(2);
    }
    std::error_code ignored;
    std::filesystem::rename(temporary, *stateFile_, ignored);
}

nlohmann::json DevService::headerObject(const HttpQuery& query)
{
    nlohmann::json headers = nlohmann::json::object();
    for (const auto& [name, value] : query.headers)
        headers[name] = value;
    return headers;
}

std::optional<std::string> DevService::authorizedDevice(const HttpQuery& query) const
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

std::optional<std::string> DevService::authorize(const HttpQuery& upgrade)
{
    const std::lock_guard lock(mutex_);
    return authorizedDevice(upgrade);
}

HttpAnswer DevService::handle(const HttpQuery& query)
{
    const auto path = query.target.substr(0, query.target.find('?'));
    auto answer = route(query, path);
    if (path.rfind("/admin/", 0) != 0) {
        const std::lock_guard lock(mutex_);
        requests_.push_back({{"method", query.method}, {"path", path}, {"headers", headerObject(query)},
                             {"body", query.body}, {"status", answer.status}, {"ts", now()}});
    }
    return answer;
}

HttpAnswer DevService::route(const HttpQuery& query, const std::string& path)
{
    if (path.rfind("/admin/", 0) == 0)
        return routeAdmin(query, path);
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
    return problem(404, "not found");
}

HttpAnswer DevService::pair(const HttpQuery& query)
{
    const auto body = parseObject(query.body);
    if (!body || !(*body)["setupCode"].is_string() || !(*body)["deviceId"].is_string())
        return problem(400, "setupCode and deviceId are required");
    const auto code = (*body)["setupCode"].get<std::string>();
    const auto deviceId = (*body)["deviceId"].get<std::string>();
    const std::lock_guard lock(mutex_);
    const auto family = setupCodes_.find(code);
    if (family == setupCodes_.end())
        return problem(404, "unknown setup code");
    Device device;
    device.token = randomToken();
    device.familyId = family->second;
    device.pairing = *body;
    device.rules = defaultRules();
    setupCodes_.erase(family);
    const auto token = device.token;
    const auto familyId = device.familyId;
    devices_[deviceId] = std::move(device);
    save();
    return json(200, {{"success", true}, {"familyId", familyId}, {"token", token}});
}

HttpAnswer DevService::heartbeat(const HttpQuery& query, const std::string&)
{
    const std::lock_guard lock(mutex_);
    const auto deviceId = authorizedDevice(query);
    if (!deviceId)
        return problem(401, "unauthorized");
    auto& device = devices_.at(*deviceId);
    device.heartbeats.push_back({{"ts", now()}, {"headers", headerObject(query)}});
    const auto build = query.header("X-App-Build").value_or("");
    const auto published = release_.value("build", "");
    nlohmann::json reply = {{"ok", true}, {"updateAvailable", build < published}};
    if (build < published) {
        reply["latestVersion"] = release_.value("version", "");
        reply["downloadUrl"] = baseURL_ + "releases/Tessary.pkg";
    }
    return json(200, reply);
}

void DevService::recordChannelOpened(const std::string& deviceId, const HttpQuery& upgrade)
{
    const std::lock_guard lock(mutex_);
    const auto device = devices_.find(deviceId);
    if (device != devices_.end())
        device->second.channelOpens.push_back({{"ts", now()}, {"headers", headerObject(upgrade)}});
}

void DevService::setFrameObserver(FrameObserver observer)
{
    const std::lock_guard lock(mutex_);
    frameObserver_ = std::move(observer);
}

void DevService::recordFrame(const std::string& deviceId, const std::string& text)
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

bool DevService::record(const std::string& deviceId, const std::string& text)
{
    const auto device = devices_.find(deviceId);
    if (device == devices_.end())
        return false;
    auto& records = device->second;
    auto message = nlohmann::json::parse(text, nullptr, false);
    const std::string type = (!message.is_discarded() && message.is_object() && message["type"].is_string())
                                 ? message["type"].get<std::string>()
                                 : std::string();
    const auto payload = type.empty() ? nlohmann::json(text) : message["payload"];
    const nlohmann::json entry = {{"ts", now()}, {"payload", payload}};
    if (type == "status")
        records.statuses.push_back(entry);
    else if (type == "activity")
        records.activity.push_back(entry);
    else if (type == "access_request")
        records.accessRequests.push_back(entry);
    else if (type == "blocked_app_launch")
        records.blockedLaunches.push_back(entry);
    else
        records.otherMessages.push_back({{"ts", now()}, {"text", text}});
    return true;
}

std::size_t DevService::pushMessage(const std::string& deviceId, const nlohmann::json& message)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
    }
    return sockets ? sockets->push(deviceId, message.dump()) : 0;
}

nlohmann::json DevService::issueSetupCode(std::optional<std::string> familyId)
{
    const std::lock_guard lock(mutex_);
    std::string code;
    do
        code = randomDigits(6);
    while (setupCodes_.count(code) != 0);
    const auto family = familyId.value_or("family-" + std::to_string(nextFamily_++));
    setupCodes_[code] = family;
    save();
    return {{"setupCode", code}, {"familyId", family}};
}

std::size_t DevService::pushRules(const std::string& deviceId, const nlohmann::json& rules)
{
    {
        const std::lock_guard lock(mutex_);
        const auto device = devices_.find(deviceId);
        if (device == devices_.end())
            return 0;
        device->second.rules = rules;
        save();
    }
    return pushMessage(deviceId, {{"type", "rules_updated"}, {"payload", rules}});
}

std::size_t DevService::grantAccess(const std::string& deviceId, const std::string& url,
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
        if (grants.is_array())
            grants.push_back(payload);
        save();
    }
    return pushMessage(deviceId, {{"type", "access_granted"}, {"payload", payload}});
}

std::size_t DevService::denyAccess(const std::string& deviceId, const std::string& url)
{
    return pushMessage(deviceId, {{"type", "access_denied"}, {"payload", {{"url", url}}}});
}

bool DevService::deleteDevice(const std::string& deviceId)
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
        save();
    }
    if (sockets) {
        sockets->push(deviceId, nlohmann::json{{"type", "device_deleted"}, {"payload", nlohmann::json::object()}}.dump());
        sockets->close(deviceId, 1000);
    }
    return true;
}

std::size_t DevService::sendRaw(const std::string& deviceId, const std::string& text)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
    }
    return sockets ? sockets->push(deviceId, text) : 0;
}

std::size_t DevService::closeChannels(const std::string& deviceId, std::uint16_t code)
{
    DeviceSockets* sockets = nullptr;
    {
        const std::lock_guard lock(mutex_);
        sockets = sockets_;
    }
    return sockets ? sockets->close(deviceId, code) : 0;
}

void DevService::setRelease(const std::string& version, const std::string& build)
{
    const std::lock_guard lock(mutex_);
    release_ = {{"version", version}, {"build", build}};
    save();
}

void DevService::setPackage(std::string bytes)
{
    const std::lock_guard lock(mutex_);
    package_ = std::move(bytes);
}

void DevService::scriptReply(const std::string& method, const std::string& path, HttpAnswer answer)
{
    const std::lock_guard lock(mutex_);
    scripted_[method + " " + path] = std::move(answer);
}

void DevService::clearScriptedReplies()
{
    const std::lock_guard lock(mutex_);
    scripted_.clear();
}

nlohmann::json DevService::devices() const
{
    const std::lock_guard lock(mutex_);
    nlohmann::json list = nlohmann::json::object();
    for (const auto& [id, device] : devices_)
        list[id] = {{"familyId", device.familyId},
                    {"deleted", device.deleted},
                    {"pairing", device.pairing},
                    {"rules", device.rules},
                    {"heartbeats", device.heartbeats},
                    {"channelOpens", device.channelOpens},
                    {"statuses", device.statuses},
                    {"activity", device.activity},
                    {"accessRequests", device.accessRequests},
                    {"blockedLaunches", device.blockedLaunches},
                    {"otherMessages", device.otherMessages}};
    return list;
}

nlohmann::json DevService::requests() const
{
    const std::lock_guard lock(mutex_);
    return requests_;
}

HttpAnswer DevService::routeAdmin(const HttpQuery& query, const std::string& path)
{
    const auto parts = segments(path);  // parts[0] == "admin"
    const auto& method = query.method;
    const auto body = parseObject(query.body.empty() ? "{}" : query.body);

    if (parts.size() == 2 && parts[1] == "setup-codes" && method == "POST") {
        std::optional<std::string> family;
        if (body && body->contains("familyId") && (*body)["familyId"].is_string())
            family = (*body)["familyId"].get<std::string>();
        return json(200, issueSetupCode(family));
    }
    if (parts.size() == 2 && parts[1] == "devices" && method == "GET")
        return json(200, devices());
    if (parts.size() == 2 && parts[1] == "requests" && method == "GET")
        return json(200, requests());
    if (parts.size() == 2 && parts[1] == "release" && method == "PUT") {
        if (!body || !(*body)["version"].is_string() || !(*body)["build"].is_string())
            return problem(400, "version and build (strings) are required");
        setRelease((*body)["version"], (*body)["build"]);
        return json(200, {{"ok", true}});
    }
    if (parts.size() == 2 && parts[1] == "package" && method == "PUT") {
        setPackage(query.body);
        return json(200, {{"ok", true}, {"bytes", query.body.size()}});
    }
    if (parts.size() == 2 && parts[1] == "replies" && method == "PUT") {
        if (!body || !(*body)["method"].is_string() || !(*body)["path"].is_string() || !(*body)["status"].is_number_integer())
            return problem(400, "method, path and status are required");
        scriptReply((*body)["method"], (*body)["path"],
                    HttpAnswer{(*body)["status"].get<int>(), body->value("contentType", "application/json"),
                               body->value("body", "")});
        return json(200, {{"ok", true}});
    }
    if (parts.size() == 2 && parts[1] == "replies" && method == "DELETE") {
        clearScriptedReplies();
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
            if (!body || !(*body)["url"].is_string())
                return problem(400, "url is required");
            std::optional<nlohmann::json> expiry;
            if (body->contains("expiry"))
                expiry = (*body)["expiry"];
            return json(200, {{"delivered", grantAccess(deviceId, (*body)["url"], expiry)}});
        }
        if (action == "deny" && method == "POST") {
            if (!body || !(*body)["url"].is_string())
                return problem(400, "url is required");
            return json(200, {{"delivered", denyAccess(deviceId, (*body)["url"])}});
        }
        if (action == "send" && method == "POST")
            return json(200, {{"delivered", sendRaw(deviceId, query.body)}});
        if (action == "close" && method == "POST") {
            const auto code = body ? body->value("code", 1000) : 1000;
            if (code < 1000 || code > 4999)
                return problem(400, "code must be 1000 to 4999");
            return json(200, {{"closed", closeChannels(deviceId, static_cast<std::uint16_t>(code))}});
        }
    }
    return problem(404, "not found");
}

}  // namespace tessary::devservice
