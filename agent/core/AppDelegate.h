#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "agent/bridge/NativeMessagingHost.h"
#include "agent/core/AgentPlatform.h"
#include "agent/core/AppState.h"
#include "agent/core/DeviceConfig.h"
#include "agent/core/InstallationKeeper.h"
#include "agent/core/InstalledUpdateWatcher.h"
#include "agent/core/LaunchDecision.h"
#include "agent/core/TamperReport.h"
#include "agent/enforcement/AppBlocker.h"
#include "agent/enforcement/AppMonitor.h"
#include "agent/service/APIClient.h"
#include "agent/service/Outbox.h"
#include "agent/service/WebSocketClient.h"
#include "agent/service/WebSocketClientDelegate.h"
#include "platform/Logger.h"
#include "shared/SharedDefaults.h"

namespace tessary {

// The root of the agent: owns every service and the observable state, runs the start-up
// sequence and the monitoring lifecycle, and fans out what the channel reports. Lives on the
// main thread for the life of the process; every entry into it arrives there.
class AppDelegate final : public WebSocketClientDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    static constexpr const char* kSubsystem = "app.brenmoor.tessary";
    // Far above any rules a family sets; a kept file beyond it is not read.
    static constexpr std::uintmax_t kLargestKeptRules = 16U << 20U;

    // Builds the credential store and the HTTP client; performs no input or output.
    explicit AppDelegate(AgentPlatform platform);

    DeviceConfig& deviceConfig() { return deviceConfig_; }
    // Shared with the views that talk to the service (the setup wizard, the menu).
    const std::shared_ptr<APIClient>& apiClient() const { return apiClient_; }
    // Created on first read, from the credentials stored at that moment.
    AppState& appState();
    InstallationKeeper& installationKeeper() { return installationKeeper_; }

    // Runs the start-up sequence. Once this copy holds the instance lock it waits for the credential
    // store (retrying while its backend cannot be read), so a device is never taken for not set up
    // because the keyring is slow or locked; launched runs when the sequence has completed, never
    // for a copy that exits.
    void applicationDidFinishLaunching(std::function<void()> launched = {});

    // Called by the setup wizard once the pairing's credentials are stored.
    void setupCompleted();
    void startMonitoring();
    void startHeartbeat();
    void sendHeartbeat();
    void fetchRulesViaHTTP();
    void stopMonitoring();
    // Called by the menu: forgets the pairing but keeps the keep-alive unit.
    void manualReset();
    void handleDeauthorization();

    void registerSafariEventObserver();
    void processSafariEventQueue();

    void webSocketDidReceiveRules(const RulesPayload& rules) override;
    void webSocketDidGrantAccess(const std::string& url, std::optional<std::int64_t> expiry) override;
    void webSocketDidDenyAccess(const std::string& url) override;
    void webSocketDeviceDeauthorized() override;
    // Rules may have changed while the channel was down: they are fetched again.
    void webSocketDidConnect() override;

    // The monitoring services: present only while monitoring.
    const std::shared_ptr<WebSocketClient>& webSocketClient() const { return webSocketClient_; }
    const std::shared_ptr<AppMonitor>& appMonitor() const { return appMonitor_; }
    const std::shared_ptr<NativeMessagingHost>& nativeMessaging() const { return nativeMessaging_; }
    const std::shared_ptr<AppBlocker>& appBlocker() const { return appBlocker_; }

private:
    // Carries the launch decision out: takes the single-instance lock and calls claimed, or hands
    // the running over to the keep-alive agent, or asks the application to quit. Its pauses wait on
    // the main queue; nothing else of the agent starts before it is settled.
    void claimInstance(std::shared_ptr<LaunchDecision> decision, std::function<void()> claimed);
    bool credentialsPresent() const;
    // Tells the service manager this copy runs and feeds its watchdog from the main queue, so a
    // stopped or hung agent is restarted; a restart by the watchdog is reported.
    void startWatchdog();
    // Records a finding for the parent; while monitoring, a heartbeat carries it within seconds
    // instead of at the next tick.
    void reportTampering(const std::string& finding);
    // While monitoring, has a heartbeat carry waiting findings within seconds instead of at the next tick.
    void scheduleTamperingHeartbeat();
    // A finding callback for the services this delegate owns, holding it weakly.
    std::function<void(const std::string&)> tamperingCallback();
    // Reports each mask or override of the keep-alive agent once, when it appears.
    void checkKeepAliveOverrides();
    void openCredentialStore(std::function<void()> launched);
    void retryCredentialStore(const Error& failure, std::function<void()> launched);
    // The start-up sequence from the device identifier on, once the credentials are known.
    void continueLaunching();
    void logLaunch(const std::string& deviceId);
    void registerLoginItem();
    void offerProfileToAdministrator();
    void applyRules(const RulesPayload& rules);
    // The rules the publisher holds, for the next start.
    void keepRules();
    void applyKeptRules();
    void retryRulesFetch();
    // Deletes the three credentials, the unsent messages and the Chrome manifest.
    void forgetCredentials();

    AgentPlatform platform_;
    Logger logger_;
    DeviceConfig deviceConfig_;
    std::shared_ptr<APIClient> apiClient_;
    std::unique_ptr<AppState> appState_;
    InstallationKeeper installationKeeper_;
    InstalledUpdateWatcher installedUpdateWatcher_;
    // Before the stores that report into it; held by them weakly.
    std::shared_ptr<TamperReport> tamperReport_;

    std::shared_ptr<AppMonitor> appMonitor_;
    std::shared_ptr<WebSocketClient> webSocketClient_;
    std::shared_ptr<NativeMessagingHost> nativeMessaging_;
    std::shared_ptr<AppBlocker> appBlocker_;
    std::shared_ptr<ScheduledWork> heartbeatTimer_;
    std::shared_ptr<ScheduledWork> safariPollTimer_;
    // The one connection to the shared store, kept open while monitoring.
    std::shared_ptr<SharedDefaults> sharedDefaults_;
    // Outlives each monitoring run: what one run could not send, the next one sends.
    std::shared_ptr<Outbox> outbox_;
    // Counts starts and stops of monitoring. A heartbeat or rules fetch acts only while the run
    // that sent it is still the current one, so a late reply never touches a later pairing.
    std::uint64_t monitoringRun_ = 0;
    // Failed reads of the credential store at launch, and the retry waiting to run.
    int credentialStoreFailures_ = 0;
    std::shared_ptr<ScheduledWork> credentialStoreRetry_;
    std::shared_ptr<ScheduledWork> watchdogTimer_;
    std::shared_ptr<ScheduledWork> launchPause_;
    std::shared_ptr<ScheduledWork> tamperingHeartbeat_;
    // The HTTP rules fetch: whether one is under way, its failures in a row and the retry waiting.
    bool rulesFetchInFlight_ = false;
    int rulesFetchFailures_ = 0;
    std::shared_ptr<ScheduledWork> rulesFetchRetry_;
    // Counts rules received on the channel: a fetch answered after newer rules arrived is stale.
    std::uint64_t rulesReceived_ = 0;
    std::vector<std::string> keepAliveOverrides_;
};

}  // namespace tessary
