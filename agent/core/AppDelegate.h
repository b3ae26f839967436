#pragma once

#include <memory>

#include "agent/core/AgentPlatform.h"
#include "agent/core/AppState.h"
#include "agent/core/DeviceConfig.h"
#include "agent/core/InstallationKeeper.h"
#include "agent/service/APIClient.h"
#include "platform/Logger.h"

namespace tessary {

// The root of the agent: owns every service and the observable state, and runs the start-up
// sequence. Lives on the main thread for the life of the process.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
public:
    static constexpr const char* kSubsystem = "app.brenmoor.tessary";

    // Builds the credential store and the HTTP client; performs no input or output.
    explicit AppDelegate(AgentPlatform platform);

    DeviceConfig& deviceConfig() { return deviceConfig_; }
    // Shared with the views that talk to the service (the setup wizard, the menu).
    const std::shared_ptr<APIClient>& apiClient() const { return apiClient_; }
    // Created on first read, from the credentials stored at that moment.
    AppState& appState();
    InstallationKeeper& installationKeeper() { return installationKeeper_; }

    void applicationDidFinishLaunching();

private:
    bool credentialsPresent() const;
    void logLaunch(const std::string& deviceId);
    void registerLoginItem();
    void offerProfileToAdministrator();

    AgentPlatform platform_;
    Logger logger_;
    DeviceConfig deviceConfig_;
    std::shared_ptr<APIClient> apiClient_;
    std::unique_ptr<AppState> appState_;
    InstallationKeeper installationKeeper_;
};

}  // namespace tessary
