#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/AdminCheck.h"
#include "platform/BrowserPolicy.h"
#include "platform/ChromeHostManifest.h"
#include "platform/HostFacts.h"
#include "platform/KeepAliveAgent.h"
#include "platform/Logger.h"
#include "platform/LoginItem.h"
#include "platform/MainBundle.h"
#include "platform/ServiceManager.h"

namespace tessary {

// Keeps the agent installed: the per-user keep-alive agent (the service manager starts the agent
// with the session and again whenever it ends), removal of the browsers' host manifests when the
// pairing ends, the check that the browser policy is in place and the administrator test that
// decides whether it is checked at launch.
class InstallationKeeper {
public:
    InstallationKeeper(std::shared_ptr<KeepAliveAgent> keepAliveAgent, std::shared_ptr<ServiceManager> serviceManager,
                       std::shared_ptr<ChromeHostManifest> chromeHostManifest,
                       std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests,
                       std::shared_ptr<LoginItem> loginItem, std::shared_ptr<const MainBundle> bundle,
                       std::shared_ptr<BrowserPolicy> browserPolicy, std::shared_ptr<HostFacts> hostFacts,
                       std::shared_ptr<AdminCheck> adminCheck, Logger logger);

    void installKeepAliveAgent();
    // Also has an installed keep-alive agent start with the session again when that was undone.
    void ensureKeepAliveAgent();
    void removeKeepAliveAgent();
    // Chrome's manifest, and those of the other browsers present (an absent browser has none).
    void removeChromeHostManifest();
    // Where the browser policy is not installed system-wide, says once what the family must
    // install; no window is opened either way (only an administrator can install the policy).
    void openMDMProfile();
    bool isUserAdmin();

    // A system-wide autostart entry means the computer's administrator starts the agent for everyone.
    bool hasSystemWideAgent() const;

    // A keep-alive agent for this copy is in place, the user's or the system's, so it can run the agent.
    bool hasKeepAliveAgent() const;
    bool canStartKeepAliveAgent() const;
    bool startKeepAliveAgent() const;

private:
    void removeHostManifest(ChromeHostManifest& manifest);

    std::shared_ptr<KeepAliveAgent> keepAliveAgent_;
    std::shared_ptr<ServiceManager> serviceManager_;
    std::shared_ptr<ChromeHostManifest> chromeHostManifest_;
    std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests_;
    std::shared_ptr<LoginItem> loginItem_;
    std::shared_ptr<const MainBundle> bundle_;
    std::shared_ptr<BrowserPolicy> browserPolicy_;
    std::shared_ptr<HostFacts> hostFacts_;
    std::shared_ptr<AdminCheck> adminCheck_;
    Logger logger_;
    bool missingPolicyLogged_ = false;
};

}  // namespace tessary
