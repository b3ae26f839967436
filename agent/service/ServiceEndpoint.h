#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Expected.h"

namespace tessary {

// The service's addresses, all on one host: https for requests, wss for the channel.
class ServiceEndpoint {
public:
    static constexpr const char* kDefaultBaseURL = "https://api.tessary.app";

    // From a base URL "https://host[:port]" (a trailing "/" is allowed; no other path).
    static Expected<ServiceEndpoint> fromBaseURL(std::string_view baseURL);
    // The override when one is given, else the built-in host.
    static Expected<ServiceEndpoint> resolve(const std::optional<std::string>& overrideURL);

    // "https://host[:port]/": endpoint paths are appended to it.
    const std::string& baseURL() const { return baseURL_; }
    std::string url(std::string_view path) const { return baseURL_ + std::string(path); }
    std::string versionURL() const { return url("releases/version.json"); }
    std::string packageURL() const { return url("releases/Tessary.pkg"); }
    // Where Firefox's policy installs the web extension from.
    std::string firefoxExtensionURL() const { return url("releases/tessary-web-extension.xpi"); }
    // "wss://host[:port]/ws/device"
    const std::string& wsURL() const { return wsURL_; }

private:
    ServiceEndpoint(std::string baseURL, std::string wsURL);

    std::string baseURL_;
    std::string wsURL_;
};

}  // namespace tessary
