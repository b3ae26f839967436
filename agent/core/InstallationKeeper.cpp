#include "agent/core/InstallationKeeper.h"

#include <chrono>

namespace tessary {

namespace {

// Where Chrome reads managed policy on Linux: the profile has to be placed there by an administrator.
constexpr auto kPolicySettingsLocation = "file:///etc/opt/chrome/policies/managed/";
constexpr auto kSettingsDelay = std::chrono::milliseconds(2000);

}  // namespace

InstallationKeeper::InstallationKeeper(std::shared_ptr<KeepAliveAgent> keepAliveAgent,
                                       std::shared_ptr<ServiceManager> serviceManager,
                                       std::shared_ptr<ChromeHostManifest> chromeHostManifest,
                                       std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests,
                                       std::shared_ptr<LoginItem> loginItem, std::shared_ptr<const MainBundle> bundle,
                                       std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Launcher> launcher,
                                       std::shared_ptr<HostFacts> hostFacts, std::shared_ptr<AdminCheck> adminCheck,
                                       Logger logger)
    : keepAliveAgent_(std::move(keepAliveAgent)), serviceManager_(std::move(serviceManager)),
      chromeHostManifest_(std::move(chromeHostManifest)),
      otherBrowserHostManifests_(std::move(otherBrowserHostManifests)), loginItem_(std::move(loginItem)),
      bundle_(std::move(bundle)), mainQueue_(std::move(mainQueue)), launcher_(std::move(launcher)),
      hostFacts_(std::move(hostFacts)), adminCheck_(std::move(adminCheck)), logger_(std::move(logger))
{
}

bool InstallationKeeper::hasSystemWideAgent() const
{
    return loginItem_->isSystemWide();
}

bool InstallationKeeper::hasKeepAliveAgent() const
{
    return keepAliveAgent_->definition(bundle_->executablePath()) == KeepAliveAgent::Definition::current;
}

bool InstallationKeeper::canStartKeepAliveAgent() const
{
    return serviceManager_->canStartKeepAliveAgent();
}

bool InstallationKeeper::startKeepAliveAgent() const
{
    return serviceManager_->startKeepAliveAgent();
}

void InstallationKeeper::installKeepAliveAgent()
{
    if (hasSystemWideAgent())
        return;
    const auto& executable = bundle_->executablePath();
    // An existing definition is never rewritten, whatever it holds, except the one an earlier
    // version of the agent wrote: that one started the agent before any display existed and
    // restarted a duplicate forever.
    const auto definition = keepAliveAgent_->definition(executable);
    if (definition == KeepAliveAgent::Definition::current || definition == KeepAliveAgent::Definition::foreign)
        return;
    if (executable.empty())
        return;
    if (auto failure = keepAliveAgent_->install(executable)) {
        logger_.error("Failed to install keepalive: %@", {*failure});
        return;
    }
    // The manager keeps the earlier definition loaded until it reads the files again.
    if (definition == KeepAliveAgent::Definition::earlier)
        serviceManager_->reloadDefinitions();
    logger_.info("Installed keepalive launch agent");
}

void InstallationKeeper::ensureKeepAliveAgent()
{
    const auto definition = keepAliveAgent_->definition(bundle_->executablePath());
    if (definition == KeepAliveAgent::Definition::absent) {
        logger_.info("LaunchAgent missing — re-installing");
        installKeepAliveAgent();
        return;
    }
    if (definition != KeepAliveAgent::Definition::current || hasSystemWideAgent())
        return;
    if (auto failure = keepAliveAgent_->enable())
        logger_.error("Failed to install keepalive: %@", {*failure});
}

void InstallationKeeper::removeKeepAliveAgent()
{
    if (keepAliveAgent_->remove())
        logger_.info("Removed keepalive launch agent");
    else
        logger_.info("LaunchAgent not present or already removed");
}

void InstallationKeeper::removeChromeHostManifest()
{
    removeHostManifest(*chromeHostManifest_);
    for (const auto& manifest : otherBrowserHostManifests_)
        if (manifest->isBrowserPresent())
            removeHostManifest(*manifest);
}

void InstallationKeeper::removeHostManifest(ChromeHostManifest& manifest)
{
    if (manifest.remove())
        logger_.info("%s native messaging host removed", {manifest.browserName()});
    else
        logger_.info("%s host file not present or already removed", {manifest.browserName()});
}

void InstallationKeeper::openMDMProfile()
{
    const auto profile = bundle_->resourcePath("tessary-profile-signed", "mobileconfig", "MDM");
    if (!profile) {
        logger_.error("MDM profile not found in bundle");
        return;
    }
    launcher_->open(profile->string());
    logger_.info("MDM profile opened for installation");
    mainQueue_->postAfter(kSettingsDelay, [this, alive = std::weak_ptr<int>(lifetime_)] {
        if (!alive.expired())
            openProfilesSettings();
    });
}

void InstallationKeeper::openProfilesSettings()
{
    launcher_->open(kPolicySettingsLocation);
    logger_.info("Opened System Settings → Profiles");
}

bool InstallationKeeper::isUserAdmin()
{
    return adminCheck_->isAdmin(hostFacts_->userName());
}

}  // namespace tessary
