#include "agent/core/AppDelegate.h"

#include <algorithm>

#include "agent/core/DeviceIdentifier.h"
#include "agent/core/SafariEventEntry.h"
#include "agent/service/RecordCodec.h"
#include "platform/JsonText.h"
#include "shared/SharedStoreFormat.h"

namespace tessary {

namespace {

constexpr auto kMdmPromptShown = "mdmPromptShown";
constexpr auto kHeartbeatInterval = std::chrono::seconds(120);
constexpr auto kSafariPollInterval = std::chrono::seconds(2);
constexpr auto kCredentialStoreRetryLongest = std::chrono::seconds(60);
// Findings made together (one trick often shows in several places) go out in one heartbeat.
constexpr auto kTamperingHeartbeatDelay = std::chrono::seconds(5);
constexpr auto kRulesFetchFirstRetry = std::chrono::seconds(5);
constexpr auto kRulesFetchRetryLongest = std::chrono::seconds(60);

// The agent's start-up has already refused a malformed override; the built-in host is the fallback.
ServiceEndpoint serviceEndpoint(const std::optional<std::string>& overrideURL)
{
    auto endpoint = ServiceEndpoint::resolve(overrideURL);
    if (endpoint)
        return std::move(endpoint).value();
    return ServiceEndpoint::resolve(std::nullopt).value();
}

// Every manifest but Chrome's is removed only where its browser is present; Firefox's among them.
std::vector<std::shared_ptr<ChromeHostManifest>> removableHostManifests(const AgentPlatform& platform)
{
    auto manifests = platform.otherBrowserHostManifests;
    if (platform.firefoxHostManifest)
        manifests.push_back(platform.firefoxHostManifest);
    return manifests;
}

}  // namespace

AppDelegate::AppDelegate(AgentPlatform platform)
    : platform_(std::move(platform)),
      logger_(platform_.logSink, kSubsystem, "app"),
      deviceConfig_(platform_.secureStore, DeviceConfig::kServiceName),
      apiClient_(std::make_shared<APIClient>(serviceEndpoint(platform_.serviceURL), platform_.httpSession,
                                             platform_.mainQueue, platform_.logSink, platform_.bundle,
                                             platform_.hostFacts)),
      installationKeeper_(platform_.keepAliveAgent, platform_.serviceManager, platform_.chromeHostManifest,
                          removableHostManifests(platform_), platform_.loginItem, platform_.bundle,
                          platform_.browserPolicy, platform_.hostFacts, platform_.adminCheck, logger_),
      installedUpdateWatcher_(platform_.installedProgram, platform_.mainQueue, platform_.launchOrigin,
                              platform_.terminateApplication, logger_),
      tamperReport_(std::make_shared<TamperReport>(logger_, APIClient::kErrorHeaderCharacters)),
      // The channel may hold the outbox past this delegate; the poll sends what it found.
      outbox_(std::make_shared<Outbox>(platform_.paths.dataHome / "app.brenmoor.tessary" / "outbox.sqlite3",
                                       platform_.clock, logger_,
                                       [report = std::weak_ptr<TamperReport>(tamperReport_)](const std::string& finding) {
                                           if (auto held = report.lock())
                                               held->record(finding);
                                       }))
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

void AppDelegate::applicationDidFinishLaunching(std::function<void()> launched)
{
    claimInstance(std::make_shared<LaunchDecision>(platform_.launchOrigin),
                  [this, launched = std::move(launched)]() mutable {
                      startWatchdog();
                      installedUpdateWatcher_.start();
                      // The keyring is first touched here, by the one agent that holds the lock.
                      openCredentialStore(std::move(launched));
                  });
}

void AppDelegate::startWatchdog()
{
    auto& watchdog = platform_.serviceWatchdog;
    watchdog->notifyRunning();
    if (watchdog->takeRestartNotice())
        tamperReport_->record("the agent stopped answering (stopped or hung) and its watchdog restarted it");
    const auto interval = watchdog->interval();
    if (!interval)
        return;
    // Fed at half the interval, so one late turn of the loop is not taken for a hang.
    watchdog->feed();
    watchdogTimer_ = platform_.mainQueue->repeatEvery(*interval / 2, [watchdog] { watchdog->feed(); });
}

void AppDelegate::reportTampering(const std::string& finding)
{
    if (tamperReport_->record(finding))
        scheduleTamperingHeartbeat();
}

std::function<void(const std::string&)> AppDelegate::tamperingCallback()
{
    return [weak = weak_from_this()](const std::string& finding) {
        if (auto self = weak.lock())
            self->reportTampering(finding);
    };
}

void AppDelegate::scheduleTamperingHeartbeat()
{
    if (!heartbeatTimer_ || tamperingHeartbeat_ || !tamperReport_->nextBatch())
        return;
    tamperingHeartbeat_ = platform_.mainQueue->postAfter(kTamperingHeartbeatDelay, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->tamperingHeartbeat_.reset();
        if (self->heartbeatTimer_)
            self->sendHeartbeat();
    });
}

void AppDelegate::checkKeepAliveOverrides()
{
    auto overrides = platform_.keepAliveAgent->overrides();
    for (const auto& found : overrides)
        if (std::ranges::find(keepAliveOverrides_, found) == keepAliveOverrides_.end())
            reportTampering(found);
    keepAliveOverrides_ = std::move(overrides);
}

void AppDelegate::openCredentialStore(std::function<void()> launched)
{
    deviceConfig_.open([weak = weak_from_this(), launched = std::move(launched)](std::optional<Error> failure) {
        auto self = weak.lock();
        if (!self)
            return;
        if (failure) {
            self->retryCredentialStore(*failure, launched);
            return;
        }
        self->credentialStoreRetry_.reset();
        self->continueLaunching();
        if (launched)
            launched();
    });
}

void AppDelegate::retryCredentialStore(const Error& failure, std::function<void()> launched)
{
    // 1, 2, 4 ... 32, then every 60 s: soon after a login, gently while a keyring stays locked.
    const auto delay = std::min(kCredentialStoreRetryLongest,
                                std::chrono::seconds(std::int64_t{1} << std::min(credentialStoreFailures_, 6)));
    ++credentialStoreFailures_;
    logger_.error("Credential store unavailable — retrying in %ld s: %@", {delay.count(), failure});
    credentialStoreRetry_ =
        platform_.mainQueue->postAfter(delay, [weak = weak_from_this(), launched = std::move(launched)] {
            if (auto self = weak.lock())
                self->openCredentialStore(launched);
        });
}

void AppDelegate::continueLaunching()
{
    const auto deviceId = DeviceIdentifier::loadOrCreate(deviceConfig_);
    logLaunch(deviceId);

    if (!installationKeeper_.hasSystemWideAgent())
        registerLoginItem();
    installationKeeper_.installKeepAliveAgent();

    // A panel that read the state before the credentials were known learns it now.
    if (appState_)
        appState_->setIsSetUp(credentialsPresent());

    if (credentialsPresent()) {
        startMonitoring();
        return;
    }

    logger_.info("Device not set up — showing setup wizard");
    offerProfileToAdministrator();
}

void AppDelegate::claimInstance(std::shared_ptr<LaunchDecision> decision, std::function<void()> claimed)
{
    using Request = LaunchDecision::Request;
    const auto& lock = platform_.instanceLock;
    for (auto request = decision->request(); request != Request::none; request = decision->request()) {
        bool found = false;
        switch (request) {
        case Request::tryLock: found = lock->tryAcquire(); break;
        case Request::releaseLock: lock->release(); break;
        case Request::keepAliveInstalled: found = installationKeeper_.hasKeepAliveAgent(); break;
        case Request::managerReady: found = installationKeeper_.canStartKeepAliveAgent(); break;
        case Request::startKeepAliveAgent: found = installationKeeper_.startKeepAliveAgent(); break;
        case Request::pause:
            decision->answer(false);
            launchPause_ = platform_.mainQueue->postAfter(
                LaunchDecision::kPause,
                [weak = weak_from_this(), decision = std::move(decision), claimed = std::move(claimed)]() mutable {
                    if (auto self = weak.lock())
                        self->claimInstance(std::move(decision), std::move(claimed));
                });
            return;
        case Request::none: break;
        }
        decision->answer(found);
    }
    const auto& settled = decision->settlement();
    if (settled.handOverRefused)
        logger_.error("Could not start the keepalive launch agent");
    if (settled.handOverUnconfirmed)
        logger_.error("The keepalive launch agent did not take over — running without it");
    switch (settled.action) {
    case LaunchDecision::Action::run:
        claimed();
        return;
    case LaunchDecision::Action::handOver:
        logger_.info("Started the keepalive launch agent — exiting");
        break;
    case LaunchDecision::Action::leave:
        if (settled.showRunningInstance)
            platform_.showRunningInstance();
        logger_.info("Another instance already running — exiting");
        break;
    }
    platform_.terminateApplication(settled.exitStatus);
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

void AppDelegate::setupCompleted()
{
    logger_.info("setupCompleted() called — setting isSetUp=true");
    appState().setIsSetUp(true);
    logger_.info("setupCompleted() — appState.isSetUp is now %{bool}d", {appState().isSetUp()});
    startMonitoring();
    installationKeeper_.openMDMProfile();
}

void AppDelegate::startMonitoring()
{
    const auto token = deviceConfig_.load("token");
    if (!token) {
        logger_.error("Cannot start monitoring: token missing");
        return;
    }
    // Never two channels or two watchers: an earlier run is ended before a new one begins.
    if (webSocketClient_)
        stopMonitoring();
    ++monitoringRun_;

    apiClient_->setDeviceId(DeviceIdentifier::loadOrCreate(deviceConfig_));
    apiClient_->setToken(*token);

    auto client = std::make_shared<WebSocketClient>(apiClient_->endpoint().wsURL(),
                                                    DeviceIdentifier::loadOrCreate(deviceConfig_), *token,
                                                    platform_.makeWebSocketSession(), platform_.mainQueue,
                                                    platform_.logSink, outbox_);
    client->setDelegate(weak_from_this());
    client->connect();
    webSocketClient_ = client;

    auto monitor = std::make_shared<AppMonitor>(platform_.makeWorkspace(), platform_.clock, platform_.logSink);
    monitor->webSocketClient = client;
    monitor->start();
    appMonitor_ = monitor;

    sharedDefaults_ = std::make_shared<SharedDefaults>(
        SharedStoreFormat::storePath(platform_.paths), platform_.clock, logger_, tamperingCallback());
    auto publisher = std::make_shared<NativeMessagingHost>(
        sharedDefaults_, platform_.chromeHostManifest, platform_.otherBrowserHostManifests,
        platform_.firefoxHostManifest, platform_.bundle, logger_);
    publisher->webSocketClient = client;
    publisher->installChromeHost();
    nativeMessaging_ = publisher;

    auto blocker = std::make_shared<AppBlocker>(platform_.logSink, tamperingCallback());
    blocker->webSocketClient = client;
    monitor->appBlocker = blocker;
    appBlocker_ = blocker;

    startHeartbeat();
    registerSafariEventObserver();

    if (safariPollTimer_)
        safariPollTimer_->cancel();
    safariPollTimer_ = platform_.mainQueue->repeatEvery(kSafariPollInterval, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->outbox_->lookForTampering();
        self->scheduleTamperingHeartbeat();
        self->processSafariEventQueue();
    });
    // At once, not at the first poll: the browsers never create the store and drop what they
    // cannot queue, so it must exist from the start, even when no rules can be fetched.
    processSafariEventQueue();

    // What applied when the agent last ran holds until the service answers, even offline.
    applyKeptRules();
    rulesFetchFailures_ = 0;
    fetchRulesViaHTTP();
    appState().setIsMonitoring(true);
    logger_.info("Monitoring started");
}

void AppDelegate::startHeartbeat()
{
    if (heartbeatTimer_)
        heartbeatTimer_->cancel();
    installationKeeper_.ensureKeepAliveAgent();
    checkKeepAliveOverrides();
    if (nativeMessaging_)
        nativeMessaging_->installChromeHost();
    sendHeartbeat();
    heartbeatTimer_ = platform_.mainQueue->repeatEvery(kHeartbeatInterval, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->installationKeeper_.ensureKeepAliveAgent();
        self->checkKeepAliveOverrides();
        if (self->nativeMessaging_)
            self->nativeMessaging_->installChromeHost();
        self->sendHeartbeat();
    });
}

void AppDelegate::sendHeartbeat()
{
    const auto tampering = tamperReport_->nextBatch();
    auto completion = [self = shared_from_this(), run = monitoringRun_,
                       carried = tampering ? tampering->upTo : 0](APIResult<HeartbeatResponse> result) {
        if (result)
            self->tamperReport_->delivered(carried);
        if (run != self->monitoringRun_)
            return;
        if (result) {
            // A later "no update" never hides an update already announced.
            if (result.value().updateAvailable) {
                self->appState().setUpdateAvailable(true);
                self->appState().setDownloadUrl(result.value().downloadUrl);
            }
            return;
        }
        if (result.error().isDeauthorization()) {
            self->logger_.info("Heartbeat returned 401 — device deauthorized");
            self->handleDeauthorization();
            return;
        }
        self->apiClient_->setLastError(result.error().description);
    };
    apiClient_->heartbeat(std::move(completion),
                          tampering ? std::optional<std::string>(tampering->header) : std::nullopt);
}

void AppDelegate::fetchRulesViaHTTP()
{
    if (rulesFetchRetry_)
        rulesFetchRetry_->cancel();
    rulesFetchInFlight_ = true;
    apiClient_->fetchRules([self = shared_from_this(), run = monitoringRun_,
                            received = rulesReceived_](APIResult<std::string> result) {
        if (run != self->monitoringRun_)
            return;
        self->rulesFetchInFlight_ = false;
        if (!result) {
            self->logger_.error("Failed to fetch rules: %@", {result.error().asError()});
            self->retryRulesFetch();
            return;
        }
        auto rules = RecordCodec<RulesPayload>::decode(result.value());
        if (!rules) {
            self->logger_.error("Failed to fetch rules: %@", {rules.error()});
            self->retryRulesFetch();
            return;
        }
        self->rulesFetchFailures_ = 0;
        // Asked before the channel delivered newer rules: applying them would undo the parent's change.
        if (received != self->rulesReceived_) {
            self->logger_.info("Rules fetched via HTTP are older than rules received since — not applied");
            return;
        }
        self->applyRules(rules.value());
        self->logger_.info("Rules fetched via HTTP: %ld blocked sites", {rules.value().blockedSites.size()});
    });
}

void AppDelegate::retryRulesFetch()
{
    // 5, 10, 20, 40, then every 60 s: an agent started offline gets the parent's rules soon after
    // the network is back.
    const auto delay = std::min(kRulesFetchRetryLongest, kRulesFetchFirstRetry * (1 << std::min(rulesFetchFailures_, 4)));
    ++rulesFetchFailures_;
    rulesFetchRetry_ = platform_.mainQueue->postAfter(delay, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->fetchRulesViaHTTP();
    });
}

void AppDelegate::keepRules()
{
    if (!nativeMessaging_ || !nativeMessaging_->currentRules())
        return;
    auto bytes = JsonText::dump(nativeMessaging_->currentRules()->toJson());
    if (!bytes)
        return;
    if (auto failure = platform_.keptRules->write(bytes.value()))
        logger_.error("Failed to keep the rules for the next start: %@", {*failure});
}

void AppDelegate::applyKeptRules()
{
    const auto bytes = platform_.keptRules->read();
    if (!bytes)
        return;
    auto rules = RecordCodec<RulesPayload>::decode(*bytes);
    if (!rules) {
        logger_.error("Kept rules could not be read: %@", {rules.error()});
        return;
    }
    applyRules(rules.value());
    logger_.info("Rules kept from the last run applied: %ld blocked sites", {rules.value().blockedSites.size()});
}

void AppDelegate::applyRules(const RulesPayload& rules)
{
    if (nativeMessaging_) {
        nativeMessaging_->updateRules(rules);
        nativeMessaging_->writeRulesToSharedDefaults();
    }
    if (appBlocker_) {
        appBlocker_->updateBlockedApps(rules.blockedApps);
        appBlocker_->updateApprovedApps(rules.approvedApps);
        appBlocker_->mode = rules.mode;
    }
    keepRules();
    // Blocking acts on what already runs too: started while the agent was down, or before these rules.
    if (appMonitor_)
        appMonitor_->judgeRunningApplications();
}

void AppDelegate::stopMonitoring()
{
    ++monitoringRun_;
    platform_.notificationListener->stop();
    for (auto* work : {&safariPollTimer_, &heartbeatTimer_, &tamperingHeartbeat_, &rulesFetchRetry_}) {
        if (*work)
            (*work)->cancel();
        work->reset();
    }
    rulesFetchInFlight_ = false;
    if (appMonitor_) {
        appMonitor_->stop();
        appMonitor_.reset();
    }
    if (webSocketClient_) {
        webSocketClient_->disconnect();
        webSocketClient_.reset();
    }
    if (nativeMessaging_) {
        nativeMessaging_->clearSharedRules();
        nativeMessaging_.reset();
    }
    appBlocker_.reset();
    sharedDefaults_.reset();
}

void AppDelegate::forgetCredentials()
{
    deviceConfig_.remove("token");
    deviceConfig_.remove("familyId");
    deviceConfig_.remove("deviceId");
    // What waits to be sent, and the rules, belong to the pairing that ended.
    outbox_->clear();
    platform_.keptRules->remove();
    installationKeeper_.removeChromeHostManifest();
}

void AppDelegate::manualReset()
{
    logger_.info("Manual reset — clearing credentials and returning to setup");
    stopMonitoring();
    forgetCredentials();
    appState().setIsMonitoring(false);
    appState().setIsSetUp(false);
    appState().setLastError(std::nullopt);
}

void AppDelegate::handleDeauthorization()
{
    logger_.info("Device deauthorized — cleaning up and resetting to setup wizard");
    stopMonitoring();
    forgetCredentials();
    installationKeeper_.removeKeepAliveAgent();
    appState().setIsMonitoring(false);
    appState().setIsSetUp(false);
}

void AppDelegate::registerSafariEventObserver()
{
    auto failure = platform_.notificationListener->start([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->processSafariEventQueue();
    });
    // Without the wake-up the two-second poll still drains every event.
    if (failure) {
        logger_.error("Failed to register for browser events: %@", {*failure});
        return;
    }
    logger_.info("Registered Darwin notification observer for Safari events");
}

void AppDelegate::processSafariEventQueue()
{
    if (!sharedDefaults_)
        return;
    sharedDefaults_->drainEventQueue([this](const nlohmann::json& event, const std::string& receipt) {
        const auto entry = SafariEventEntry::read(event);
        // Kept by an agent killed before it could take the event out of the queue.
        if (!entry || outbox_->keptLast(receipt))
            return;
        if (entry->type == SafariEventEntry::Type::urlVisit) {
            logger_.debug("Safari url_visit: %s", {entry->url});
            if (webSocketClient_)
                webSocketClient_->sendActivity({entry->siteVisit(platform_.clock->secondsSinceEpoch())}, receipt);
        } else {
            logger_.info("Safari access_request: %s", {entry->url});
            if (webSocketClient_)
                webSocketClient_->sendAccessRequest(entry->url, entry->title, receipt);
        }
    });
}

void AppDelegate::webSocketDidReceiveRules(const RulesPayload& rules)
{
    ++rulesReceived_;
    logger_.info("Rules updated: mode=%s, %ld blocked sites, %ld blocked apps",
                 {rules.mode, rules.blockedSites.size(), rules.blockedApps.size()});
    applyRules(rules);
}

void AppDelegate::webSocketDidGrantAccess(const std::string& url, std::optional<std::int64_t> expiry)
{
    const auto renderedExpiry = expiry ? "Optional(" + std::to_string(*expiry) + ")" : std::string("nil");
    logger_.info("Access granted: %s, expiry: %s", {url, renderedExpiry});
    if (nativeMessaging_) {
        nativeMessaging_->addGrant(url, expiry);
        nativeMessaging_->writeRulesToSharedDefaults();
        keepRules();
    }
}

void AppDelegate::webSocketDidDenyAccess(const std::string& url)
{
    logger_.info("Access denied: %s", {url});
}

void AppDelegate::webSocketDeviceDeauthorized()
{
    handleDeauthorization();
}

void AppDelegate::webSocketDidConnect()
{
    if (webSocketClient_ && !rulesFetchInFlight_)
        fetchRulesViaHTTP();
}

}  // namespace tessary
