#include "agent/bridge/NativeMessagingHost.h"

#include "agent/bridge/GrantHost.h"
#include "platform/JsonText.h"

namespace tessary {
namespace {

// The manifest as the browser reads it; absent when the path cannot be JSON text (not UTF-8).
std::optional<std::string> manifestText(nlohmann::ordered_json (*build)(const std::filesystem::path&),
                                        const std::filesystem::path& executable)
{
    try {
        return build(executable).dump(2);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

NativeMessagingHost::NativeMessagingHost(std::shared_ptr<SharedDefaults> sharedDefaults,
                                         std::shared_ptr<ChromeHostManifest> chromeHostManifest,
                                         std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests,
                                         std::shared_ptr<ChromeHostManifest> firefoxHostManifest,
                                         std::shared_ptr<const MainBundle> bundle, Logger logger)
    : sharedDefaults_(std::move(sharedDefaults)), chromeHostManifest_(std::move(chromeHostManifest)),
      otherBrowserHostManifests_(std::move(otherBrowserHostManifests)),
      firefoxHostManifest_(std::move(firefoxHostManifest)), bundle_(std::move(bundle)), logger_(std::move(logger))
{
}

void NativeMessagingHost::updateRules(RulesPayload rules)
{
    currentRules_ = std::move(rules);
    logger_.info("NativeMessaging: rules cached — %ld blocked sites", {currentRules_->blockedSites.size()});
}

void NativeMessagingHost::addGrant(const std::string& url, std::optional<std::int64_t> expiry)
{
    const auto host = GrantHost::normalise(url);
    std::size_t total = 0;
    if (currentRules_) {
        currentRules_->grants.push_back(GrantPayload{host, expiry});
        total = currentRules_->grants.size();
    }
    logger_.info("NativeMessaging: added grant for %s, total grants: %ld", {host, total});
}

void NativeMessagingHost::writeRulesToSharedDefaults()
{
    if (!currentRules_)
        return;
    const auto encoded = JsonText::dump(currentRules_->toJson());
    if (!encoded)
        return;
    if (sharedDefaults_->setRules(encoded.value()))
        logger_.info("NativeMessaging: wrote rules to shared defaults");
}

void NativeMessagingHost::clearSharedRules()
{
    sharedDefaults_->removeRules();
}

std::filesystem::path NativeMessagingHost::chromeHostExecutablePath() const
{
    return bundle_->bundlePath().string() + "/Contents/Helpers/tessary-chrome-host";
}

std::filesystem::path NativeMessagingHost::firefoxHostExecutablePath() const
{
    return bundle_->bundlePath().string() + "/Contents/Helpers/tessary-firefox-host";
}

nlohmann::ordered_json NativeMessagingHost::chromeManifest(const std::filesystem::path& executable)
{
    return nlohmann::ordered_json{
        {"name", kChromeHostName},
        {"description", "Tessary native messaging host"},
        {"path", executable.string()},
        {"type", "stdio"},
        {"allowed_origins",
         {"chrome-extension://kfpbnmcjdeoahlgikfpbnmcjdeoahlgi/", "chrome-extension://mhdlaonbepckgjfimhdlaonbepckgjfi/"}},
    };
}

nlohmann::ordered_json NativeMessagingHost::firefoxManifest(const std::filesystem::path& executable)
{
    return nlohmann::ordered_json{
        {"name", kChromeHostName},
        {"description", "Tessary native messaging host"},
        {"path", executable.string()},
        {"type", "stdio"},
        {"allowed_extensions", {kFirefoxExtensionId}},
    };
}

void NativeMessagingHost::installChromeHost()
{
    // A manifest that cannot be written as text is reported once per browser, as a failure to install it.
    const auto executable = chromeHostExecutablePath();
    const auto content = manifestText(&chromeManifest, executable);
    installHostManifest(*chromeHostManifest_, content, executable);
    for (const auto& manifest : otherBrowserHostManifests_)
        if (manifest->isBrowserPresent())
            installHostManifest(*manifest, content, executable);
    if (firefoxHostManifest_ && firefoxHostManifest_->isBrowserPresent()) {
        const auto firefoxHost = firefoxHostExecutablePath();
        installHostManifest(*firefoxHostManifest_, manifestText(&firefoxManifest, firefoxHost), firefoxHost);
    }
}

void NativeMessagingHost::installHostManifest(ChromeHostManifest& manifest, const std::optional<std::string>& content,
                                              const std::filesystem::path& executable)
{
    if (!content) {
        logger_.error("Failed to install %s native messaging host: %@",
                      {manifest.browserName(),
                       Error{"The bundle path “" + executable.string() + "” is not valid UTF-8."}});
        return;
    }
    if (auto failure = manifest.write(*content)) {
        logger_.error("Failed to install %s native messaging host: %@", {manifest.browserName(), *failure});
        return;
    }
    logger_.info("%s native messaging host installed → %s", {manifest.browserName(), executable.string()});
}

}  // namespace tessary
