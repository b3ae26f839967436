#include "agent/service/APIClient.h"

#include "agent/service/HeaderText.h"
#include "agent/service/RecordCodec.h"
#include "platform/JsonText.h"

namespace tessary {

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(60);

std::string infoOr(const MainBundle& bundle, const char* key, const char* fallback)
{
    return bundle.infoString(key).value_or(fallback);
}

template <typename Record>
APIResult<Record> decodeRecord(const std::string& body)
{
    auto record = RecordCodec<Record>::decode(body);
    if (!record)
        return APIFailure::decoding(record.error());
    return std::move(record).value();
}

}  // namespace

APIClient::APIClient(ServiceEndpoint endpoint, std::shared_ptr<HttpTransport> session,
                     std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> logSink,
                     std::shared_ptr<const MainBundle> bundle, std::shared_ptr<HostFacts> hostFacts)
    : endpoint_(std::move(endpoint)), session_(std::move(session)), mainQueue_(std::move(mainQueue)),
      bundle_(std::move(bundle)), hostFacts_(std::move(hostFacts)),
      logger_(std::move(logSink), "app.brenmoor.tessary", "api")
{
}

std::optional<std::string> APIClient::deviceId() const
{
    const std::lock_guard lock(fieldsMutex_);
    return deviceId_;
}

void APIClient::setDeviceId(std::optional<std::string> deviceId)
{
    const std::lock_guard lock(fieldsMutex_);
    deviceId_ = std::move(deviceId);
}

std::optional<std::string> APIClient::token() const
{
    const std::lock_guard lock(fieldsMutex_);
    return token_;
}

void APIClient::setToken(std::optional<std::string> token)
{
    const std::lock_guard lock(fieldsMutex_);
    token_ = std::move(token);
}

std::optional<std::string> APIClient::lastError() const
{
    const std::lock_guard lock(fieldsMutex_);
    return lastError_;
}

void APIClient::setLastError(std::optional<std::string> lastError)
{
    const std::lock_guard lock(fieldsMutex_);
    lastError_ = std::move(lastError);
}

APIClient::Headers APIClient::credentialHeaders() const
{
    std::optional<std::string> deviceId;
    std::optional<std::string> token;
    {
        const std::lock_guard lock(fieldsMutex_);
        deviceId = deviceId_;
        token = token_;
    }
    Headers headers{{"Content-Type", "application/json"}};
    if (deviceId)
        headers.emplace_back("X-Device-Id", HeaderText::withoutControlCharacters(*deviceId));
    headers.emplace_back("Authorization", "Bearer " + HeaderText::withoutControlCharacters(token.value_or("")));
    return headers;
}

template <typename T>
void APIClient::deliver(Completion<T> completion, APIResult<T> result)
{
    mainQueue_->post([completion = std::move(completion), result = std::move(result)]() mutable {
        completion(std::move(result));
    });
}

template <typename T>
void APIClient::exchange(HttpRequest request, std::function<APIResult<T>(HttpReply&)> decode,
                         Completion<T> completion, bool logStatus)
{
    // The completion owns what it needs, so a reply arriving after the client is gone is harmless.
    auto mainQueue = mainQueue_;
    auto logger = logger_;
    session_->send(std::move(request), [mainQueue, logger, logStatus, decode = std::move(decode),
                                        completion = std::move(completion)](Expected<HttpReply> reply) mutable {
        auto result = [&]() -> APIResult<T> {
            if (!reply)
                return APIFailure::transport(reply.error());
            const long status = reply.value().status;
            if (logStatus)
                logger.info("useSetupCode: response status %ld", {status});
            if (status < 200 || status > 299)
                return APIFailure::requestFailed(status);
            return decode(reply.value());
        }();
        mainQueue->post([completion = std::move(completion), result = std::move(result)]() mutable {
            completion(std::move(result));
        });
    });
}

void APIClient::useSetupCode(const std::string& code, const std::string& deviceId,
                             Completion<UseSetupCodeResponse> completion)
{
    const nlohmann::json body = {
        {"setupCode", code},
        {"deviceId", deviceId},
        {"deviceName", hostFacts_->computerName().value_or("Mac")},
        {"macUsername", hostFacts_->userName()},
    };
    auto encoded = JsonText::dump(body);
    if (!encoded)
        return deliver<UseSetupCodeResponse>(std::move(completion), APIFailure::encoding(encoded.error()));

    logger_.info("useSetupCode: calling POST /api/use-setup-code");
    HttpRequest request{"POST", endpoint_.url("api/use-setup-code"), {{"Content-Type", "application/json"}},
                        std::move(encoded).value(), kRequestTimeout};
    exchange<UseSetupCodeResponse>(
        std::move(request), [](HttpReply& reply) { return decodeRecord<UseSetupCodeResponse>(reply.body); },
        std::move(completion), true);
}

void APIClient::heartbeat(Completion<HeartbeatResponse> completion, std::optional<std::string> errorReport)
{
    auto headers = credentialHeaders();
    headers.emplace_back("X-App-Version",
                         HeaderText::withoutControlCharacters(infoOr(*bundle_, "CFBundleShortVersionString", "unknown")));
    headers.emplace_back("X-App-Build",
                         HeaderText::withoutControlCharacters(infoOr(*bundle_, "CFBundleVersion", "unknown")));
    if (const auto error = errorReport ? errorReport : this->lastError())
        headers.emplace_back("X-App-Error", HeaderText::firstCharacters(HeaderText::withoutControlCharacters(*error),
                                                                        kErrorHeaderCharacters));
    HttpRequest request{"POST", endpoint_.url("api/heartbeat"), std::move(headers), std::nullopt, kRequestTimeout};
    exchange<HeartbeatResponse>(
        std::move(request), [](HttpReply& reply) { return decodeRecord<HeartbeatResponse>(reply.body); },
        std::move(completion), false);
}

void APIClient::fetchRules(Completion<std::string> completion)
{
    HttpRequest request{"GET", endpoint_.url("api/device/rules"), credentialHeaders(), std::nullopt, kRequestTimeout};
    exchange<std::string>(
        std::move(request), [](HttpReply& reply) -> APIResult<std::string> { return std::move(reply.body); },
        std::move(completion), false);
}

void APIClient::checkForUpdate(Completion<std::optional<std::string>> completion)
{
    auto localBuild = infoOr(*bundle_, "CFBundleVersion", "0");
    auto packageURL = endpoint_.packageURL();
    auto logger = logger_;
    auto mainQueue = mainQueue_;
    // The status plays no part: whatever body arrives must be a release descriptor.
    session_->send(HttpRequest{"GET", endpoint_.versionURL(), {}, std::nullopt, std::nullopt},
                   [localBuild = std::move(localBuild), packageURL = std::move(packageURL), logger, mainQueue,
                    completion = std::move(completion)](Expected<HttpReply> reply) mutable {
                       auto result = [&]() -> APIResult<std::optional<std::string>> {
                           if (!reply)
                               return APIFailure::transport(reply.error());
                           auto info = decodeRecord<VersionInfo>(reply.value().body);
                           if (!info)
                               return info.error();
                           const auto& remoteBuild = info.value().build;
                           logger.info("Update check — local build: %s, remote build: %s", {localBuild, remoteBuild});
                           // Plain text order, on purpose: "9" is not older than "10". Byte order of
                           // UTF-8 (compared unsigned, as std::string does) is code point order.
                           if (localBuild < remoteBuild)
                               return std::optional<std::string>(packageURL);
                           return std::optional<std::string>();
                       }();
                       mainQueue->post([completion = std::move(completion), result = std::move(result)]() mutable {
                           completion(std::move(result));
                       });
                   });
}

}  // namespace tessary
