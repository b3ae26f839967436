#include "tests/support/StandInServiceProcess.h"

#include <algorithm>
#include <cctype>
#include <future>
#include <stdexcept>

#include "agent/core/DeviceIdentifier.h"
#include "platform/linux/BeastHttpTransport.h"
#include "tests/support/ChildProcess.h"

namespace tessary::testing {

namespace {

// Certificates are created on the first start; a loaded machine may take a while.
constexpr auto kStartLimit = std::chrono::seconds(60);

std::string valueAfter(const std::optional<std::string>& line, const std::string& prefix)
{
    if (!line)
        return {};
    const auto at = line->find(prefix);
    return at == std::string::npos ? std::string() : line->substr(at + prefix.size());
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

StandInServiceProcess::StandInServiceProcess(const std::filesystem::path& program) : program_(program)
{
    launch("0");
    transport_ = std::make_unique<BeastHttpTransport>(caFile_);
}

void StandInServiceProcess::launch(const std::string& port)
{
    process_ = std::make_unique<WatchedProcess>(
        std::vector<std::string>{program_.string(), "--port", port, "--state", folder_.path().string(),
                                 "--admin-interface"},
        std::map<std::string, std::string>{});
    if (!process_->started())
        throw std::runtime_error("the stand-in service could not be started: " + program_.string());
    baseURL_ = valueAfter(process_->waitForLine("TESSARY_SERVICE_URL=", kStartLimit), "TESSARY_SERVICE_URL=");
    caFile_ = valueAfter(process_->waitForLine("TESSARY_CA_FILE=", kStartLimit), "TESSARY_CA_FILE=");
    if (baseURL_.empty() || caFile_.empty())
        throw std::runtime_error("the stand-in service did not announce itself:\n" + process_->output());
}

bool StandInServiceProcess::addParent(const std::string& name, const std::string& password, const std::string& familyId)
{
    return ChildProcess::run({program_.string(), "add-parent", "--state", folder_.path().string(), "--family", familyId, name},
                             {}, password + "\n")
               .first == 0;
}

void StandInServiceProcess::stop()
{
    process_->kill();
}

void StandInServiceProcess::start()
{
    const auto port = baseURL_.substr(baseURL_.rfind(':') + 1);
    launch(port);
}

StandInServiceProcess::~StandInServiceProcess()
{
    // Requests in flight end before the service goes away.
    transport_.reset();
    process_.reset();
}

StandInServiceProcess::Reply StandInServiceProcess::call(const std::string& method, const std::string& path,
                                                         std::optional<std::string> body,
                                                         std::vector<std::pair<std::string, std::string>> headers,
                                                         std::chrono::milliseconds limit)
{
    if (body)
        headers.emplace_back("Content-Type", "application/json");
    // Shared with the completion, which may run after a time-out here.
    auto promise = std::make_shared<std::promise<Expected<HttpReply>>>();
    auto arrived = promise->get_future();
    transport_->send(
        HttpRequest{method, baseURL_ + path, std::move(headers), std::move(body),
                    std::max(std::chrono::seconds(1), std::chrono::duration_cast<std::chrono::seconds>(limit))},
        [promise](Expected<HttpReply> result) { promise->set_value(std::move(result)); });
    Reply reply;
    if (arrived.wait_for(limit + std::chrono::seconds(1)) != std::future_status::ready)
        return reply;
    auto result = arrived.get();
    if (!result) {
        reply.text = result.error().description;
        return reply;
    }
    reply.status = result.value().status;
    reply.text = std::move(result.value().body);
    reply.json = nlohmann::json::parse(reply.text, nullptr, false);
    return reply;
}

StandInServiceProcess::PairedDevice StandInServiceProcess::pairDevice(std::optional<std::string> deviceId)
{
    const auto code = call("POST", "/admin/setup-codes", "{}");
    if (code.status != 200 || !code.json.is_object() || !code.json.contains("setupCode"))
        throw std::runtime_error("no setup code issued: " + code.text);
    PairedDevice device;
    device.deviceId = deviceId.value_or(DeviceIdentifier::generate());
    const auto paired = call("POST", "/api/use-setup-code",
                             nlohmann::json{{"setupCode", code.json["setupCode"]},
                                            {"deviceId", device.deviceId},
                                            {"deviceName", "Test Computer"},
                                            {"macUsername", "child"}}
                                 .dump());
    if (paired.status != 200 || !paired.json.is_object() || !paired.json.value("success", false))
        throw std::runtime_error("pairing refused: " + paired.text);
    device.token = paired.json.value("token", "");
    device.familyId = paired.json.value("familyId", "");
    return device;
}

nlohmann::json StandInServiceProcess::device(const std::string& deviceId)
{
    const auto devices = call("GET", "/admin/devices");
    if (devices.status != 200 || !devices.json.is_object() || !devices.json.contains(deviceId))
        return nullptr;
    return devices.json[deviceId];
}

StandInServiceProcess::Reply StandInServiceProcess::pushRules(const std::string& deviceId, const nlohmann::json& rules)
{
    return call("PUT", "/admin/devices/" + deviceId + "/rules", rules.dump());
}

StandInServiceProcess::Reply StandInServiceProcess::deleteDevice(const std::string& deviceId)
{
    return call("DELETE", "/admin/devices/" + deviceId);
}

std::optional<std::string> StandInServiceProcess::header(const nlohmann::json& headers, const std::string& name)
{
    if (!headers.is_object())
        return std::nullopt;
    const auto wanted = lowered(name);
    for (const auto& [key, value] : headers.items())
        if (lowered(key) == wanted && value.is_string())
            return value.get<std::string>();
    return std::nullopt;
}

}  // namespace tessary::testing
