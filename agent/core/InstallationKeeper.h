#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/AdminCheck.h"
#include "platform/HostFacts.h"
#include "platform/Launcher.h"
#include "platform/Logger.h"
#include "platform/MainBundle.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"

namespace tessary {

// Keeps the agent installed: the per-user keep-alive unit (systemd restarts the agent whenever it
// exits), removal of the Chrome manifest when the pairing ends, the browser-policy profile hand-off
// and the administrator test that decides whether it is offered at launch.
class InstallationKeeper {
public:
    static constexpr const char* kKeepAliveLabel = "app.brenmoor.tessary.keepalive";

    InstallationKeeper(Paths paths, std::shared_ptr<const MainBundle> bundle, std::shared_ptr<MainQueue> mainQueue,
                       std::shared_ptr<Launcher> launcher, std::shared_ptr<HostFacts> hostFacts,
                       std::shared_ptr<AdminCheck> adminCheck, Logger logger);

    void installKeepAliveAgent();
    void ensureKeepAliveAgent();
    void removeKeepAliveAgent();
    void removeChromeHostManifest();
    void openMDMProfile();
    void openProfilesSettings();
    bool isUserAdmin();

    // A system-wide autostart entry means the computer's administrator starts the agent for everyone.
    bool hasSystemWideAgent() const;

    std::filesystem::path systemWideAgentPath() const;
    std::filesystem::path keepAliveUnitPath() const;
    std::filesystem::path keepAliveWantsLinkPath() const;
    std::filesystem::path chromeHostManifestPath() const;
    static std::string keepAliveUnitContent(const std::filesystem::path& executable);

private:
    Paths paths_;
    std::shared_ptr<const MainBundle> bundle_;
    std::shared_ptr<MainQueue> mainQueue_;
    std::shared_ptr<Launcher> launcher_;
    std::shared_ptr<HostFacts> hostFacts_;
    std::shared_ptr<AdminCheck> adminCheck_;
    Logger logger_;
    // Work scheduled for later checks this token, so it never runs on a destroyed keeper.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace tessary
