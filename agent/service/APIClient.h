#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/service/APIResult.h"
#include "agent/service/HeartbeatResponse.h"
#include "agent/service/ServiceEndpoint.h"
#include "agent/service/UseSetupCodeResponse.h"
#include "agent/service/VersionInfo.h"
#include "platform/HostFacts.h"
#include "platform/HttpTransport.h"
#include "platform/Logger.h"
#include "platform/MainBundle.h"
#include "platform/MainQueue.h"

namespace tessary {

// The agent's client for the service's HTTPS interface. Requests run on the transport's
// thread; every completion is handed back on the main queue. No timers, no retries.
class APIClient {
public:
    template <typename T>
    using Completion = std::function<void(APIResult<T>)>;

    static constexpr std::size_t kErrorHeaderCharacters = 200;

    APIClient(ServiceEndpoint endpoint, std::shared_ptr<HttpTransport> session, std::shared_ptr<MainQueue> mainQueue,
              std::shared_ptr<LogSink> logSink, std::shared_ptr<const MainBundle> bundle,
              std::shared_ptr<HostFacts> hostFacts);

    const ServiceEndpoint& endpoint() const { return endpoint_; }
    std::string versionURL() const { return endpoint_.versionURL(); }
    std::string packageURL() const { return endpoint_.packageURL(); }

    // Safe from any thread; a request reads them once, when it is built.
    std::optional<std::string> deviceId() const;
    void setDeviceId(std::optional<std::string> deviceId);
    std::optional<std::string> token() const;
    void setToken(std::optional<std::string> token);
    std::optional<std::string> lastError() const;
    void setLastError(std::optional<std::string> lastError);

    void useSetupCode(const std::string& code, const std::string& deviceId, Completion<UseSetupCodeResponse> completion);
    // errorReport, when given, is sent as the heartbeat's error instead of lastError.
    void heartbeat(Completion<HeartbeatResponse> completion, std::optional<std::string> errorReport = std::nullopt);
    // The reply body, undecoded.
    void fetchRules(Completion<std::string> completion);
    // packageURL when the published build sorts after the running one, else nothing.
    void checkForUpdate(Completion<std::optional<std::string>> completion);

private:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    Headers credentialHeaders() const;
    // Sends, applies the status rule, and hands the body to `decode` on success.
    template <typename T>
    void exchange(HttpRequest request, std::function<APIResult<T>(HttpReply&)> decode, Completion<T> completion,
                  bool logStatus);
    template <typename T>
    void deliver(Completion<T> completion, APIResult<T> result);

    const ServiceEndpoint endpoint_;
    const std::shared_ptr<HttpTransport> session_;
    const std::shared_ptr<MainQueue> mainQueue_;
    const std::shared_ptr<const MainBundle> bundle_;
    const std::shared_ptr<HostFacts> hostFacts_;
    const Logger logger_;

    mutable std::mutex fieldsMutex_;
    std::optional<std::string> deviceId_;
    std::optional<std::string> token_;
    std::optional<std::string> lastError_;
};

}  // namespace tessary
