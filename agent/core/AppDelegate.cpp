#include "agent/core/AppDelegate.h"

#include "agent/core/DeviceIdentifier.h"

namespace tessary {

namespace {

constexpr auto kMdmPromptShown = "mdmPromptShown";

// The agent's start-up has already refused a malformed override; the built-in host is the fallback.
ServiceEndpoint serviceEndpoint(const std::optional<std::string>& overrideURL)
{
    auto endpoint = ServiceEndpoint::resolve(overrideURL);
    if (endpoint)
        return std::move(endpoint).value();
    return ServiceEndpoint::resolve(std::nullopt).value();
}

}  // namespace

AppDelegate::AppDelegate(AgentPlatform platform)
    : platform_(std::move(platform)),
      logger_(platform_.logSink, kSubsystem, "app"),
      deviceConfig_(platform_.secureStore, DeviceConfig::kServiceName),
      apiClient_(std::make_shared<APIClient>(serviceEndpoint(platform_.serviceURL), platform_.httpSession,
                                             platform_.mainQueue, platform_.logSink, platform_.bundle,
                                             platform_.hostFacts)),
      installationKeeper_(platform_.paths, platform_.bundle, platform_.mainQueue, platform_.launcher,
                          platform_.hostFacts, platform_.adminCheck, logger_)
{
}

AppState& AppDelegate::appState()
{
    if (!appState_)
        appState_ = std::make_unique<AppState>(credentialsPresent());
    return *appState_;
}

bool AppDelegate::credentialsPresent() const
{
    // "familyId" is only read when there is a token.
    return deviceConfig_.load("token").has_value() && deviceConfig_.load("familyId").has_value();
}

void AppDelegate::applicationDidFinishLaunching()
{
    if (!platform_.instanceLock->tryAcquire()) {
        logger_.info("Another instance already running — exiting");
        platform_.terminateApplication();
        return;
    }

    const auto deviceId = DeviceIdentifier::loadOrCreate(deviceConfig_);
    logLaunch(deviceId);

    if (!installationKeeper_.hasSystemWideAgent())
        registerLoginItem();
    installationKeeper_.installKeepAliveAgent();

    if (credentialsPresent())
        return;

    logger_.info("Device not set up — showing setup wizard");
    offerProfileToAdministrator();
}

void AppDelegate::logLaunch(const std::string& deviceId)
{
    const bool isSetUp = credentialsPresent();
    const bool hasToken = deviceConfig_.load("token").has_value();
    const bool hasFamilyId = deviceConfig_.load("familyId").has_value();
    const auto& bundle = *platform_.bundle;

    logger_.info("App launched — deviceId: %s", {deviceId});
    logger_.info("App launched — isSetUp: %{bool}d, hasToken: %{bool}d, hasFamilyId: %{bool}d",
                 {isSetUp, hasToken, hasFamilyId});
    logger_.info("App launched — bundle: %s", {bundle.bundlePath().string()});
    logger_.info("App launched — version: %s build: %s", {bundle.infoString("CFBundleShortVersionString").value_or("?"),
                                                          bundle.infoString("CFBundleVersion").value_or("?")});
}

void AppDelegate::registerLoginItem()
{
    if (auto failure = platform_.loginItem->registerAgent())
        logger_.error("Failed to register login item: %@", {*failure});
    else
        logger_.info("Registered as login item");
}

void AppDelegate::offerProfileToAdministrator()
{
    if (!installationKeeper_.isUserAdmin())
        return;
    if (platform_.userDefaults->boolForKey(kMdmPromptShown))
        return;
    platform_.userDefaults->setBool(kMdmPromptShown, true);
    installationKeeper_.openMDMProfile();
}

}  // namespace tessary
