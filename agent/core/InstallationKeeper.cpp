#include "agent/core/InstallationKeeper.h"

#include <utility>

namespace tessary {

InstallationKeeper::InstallationKeeper(std::shared_ptr<KeepAliveAgent> keepAliveAgent,
                                       std::shared_ptr<ServiceManager> serviceManager,
                                       std::shared_ptr<ChromeHostManifest> chromeHostManifest,
                                       std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests,
                                       std::shared_ptr<LoginItem> loginItem, std::shared_ptr<const MainBundle> bundle,
                                       std::shared_ptr<BrowserPolicy> browserPolicy, std::shared_ptr<HostFacts> hostFacts, std::shared_ptr<AdminCheck> adminCheck,
                                       Logger logger)
    : keepAliveAgent_(std::move(keepAliveAgent)), serviceManager_(std::move(serviceManager)),
      chromeHostManifest_(std::move(chromeHostManifest)),
      otherBrowserHostManifests_(std::move(otherBrowserHostManifests)), loginItem_(std::move(loginItem)),
      bundle_(std::move(bundle)), browserPolicy_(std::move(browserPolicy)),
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
    if (browserPolicy_->isInstalledSystemWide()) {
        logger_.info("Browser policy installed system-wide");
        return;
    }
    if (std::exchange(missingPolicyLogged_, true))
        return;
    logger_.error("Browser policy not installed: an administrator must install the Tessary package so that the "
                  "browsers keep the extension");
}

bool InstallationKeeper::isUserAdmin()
{
    return adminCheck_->isAdmin(hostFacts_->userName());
}

}  // namespace tessary
