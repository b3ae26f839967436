#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/service/EventChannel.h"
#include "agent/service/RulesPayload.h"
#include "platform/ChromeHostManifest.h"
#include "platform/Logger.h"
#include "platform/MainBundle.h"
#include "shared/SharedDefaults.h"

namespace tessary {

// The agent's side of the browser bridge: caches the latest rules with the parent's grants,
// publishes them to the browsers through the shared store, and registers the Chrome host with
// Chrome and with the other Chromium-family browsers, and the Firefox host with Firefox. Main
// thread only.
class NativeMessagingHost {
public:
    static constexpr const char* kChromeHostName = "app.brenmoor.tessary";
    static constexpr const char* kFirefoxExtensionId = "web-extension@tessary.brenmoor.app";

    NativeMessagingHost(std::shared_ptr<SharedDefaults> sharedDefaults,
                        std::shared_ptr<ChromeHostManifest> chromeHostManifest,
                        std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests,
                        std::shared_ptr<ChromeHostManifest> firefoxHostManifest,
                        std::shared_ptr<const MainBundle> bundle, Logger logger);

    // Set by the owner at creation; no operation here uses it.
    std::weak_ptr<EventChannel> webSocketClient;

    const std::optional<RulesPayload>& currentRules() const { return currentRules_; }

    void updateRules(RulesPayload rules);
    // Appends a grant for the address's normalised host to the cached rules; lost when none are cached.
    void addGrant(const std::string& url, std::optional<std::int64_t> expiry);
    // Nothing is written before the first rules arrive.
    void writeRulesToSharedDefaults();
    void clearSharedRules();
    // Chrome's manifest whether or not Chrome is there; another browser's, Firefox's among them,
    // only where it is present.
    void installChromeHost();

    std::filesystem::path chromeHostExecutablePath() const;
    std::filesystem::path firefoxHostExecutablePath() const;
    static nlohmann::ordered_json chromeManifest(const std::filesystem::path& executable);
    // Firefox refuses Chrome's allowed_origins: its manifest names the extension instead.
    static nlohmann::ordered_json firefoxManifest(const std::filesystem::path& executable);

private:
    void installHostManifest(ChromeHostManifest& manifest, const std::optional<std::string>& content,
                             const std::filesystem::path& executable);

    std::shared_ptr<SharedDefaults> sharedDefaults_;
    std::shared_ptr<ChromeHostManifest> chromeHostManifest_;
    std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests_;
    std::shared_ptr<ChromeHostManifest> firefoxHostManifest_;
    std::shared_ptr<const MainBundle> bundle_;
    Logger logger_;
    std::optional<RulesPayload> currentRules_;
};

}  // namespace tessary
