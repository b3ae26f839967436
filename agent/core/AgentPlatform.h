#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AdminCheck.h"
#include "platform/ChromeHostManifest.h"
#include "platform/Clock.h"
#include "platform/HostFacts.h"
#include "platform/HttpTransport.h"
#include "platform/InstalledProgram.h"
#include "platform/BrowserPolicy.h"
#include "platform/InstanceLock.h"
#include "platform/KeepAliveAgent.h"
#include "platform/KeptFile.h"
#include "platform/LaunchOrigin.h"
#include "platform/Launcher.h"
#include "platform/LogSink.h"
#include "platform/LoginItem.h"
#include "platform/MainBundle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationListener.h"
#include "platform/Paths.h"
#include "platform/SecureStore.h"
#include "platform/ServiceManager.h"
#include "platform/ServiceWatchdog.h"
#include "platform/UserDefaults.h"
#include "platform/WebSocketTransport.h"
#include "platform/Workspace.h"

namespace tessary {

// Everything the agent core reaches outside itself. The app fills it with the Linux
// implementations; tests with fakes, temporary folders and virtual time.
struct AgentPlatform {
    std::shared_ptr<MainQueue> mainQueue;
    std::shared_ptr<Clock> clock;
    std::shared_ptr<LogSink> logSink;
    std::shared_ptr<SecureStore> secureStore;
    std::shared_ptr<const MainBundle> bundle;
    std::shared_ptr<UserDefaults> userDefaults;
    std::shared_ptr<InstanceLock> instanceLock;
    std::shared_ptr<HostFacts> hostFacts;
    std::shared_ptr<Launcher> launcher;
    std::shared_ptr<LoginItem> loginItem;
    std::shared_ptr<KeepAliveAgent> keepAliveAgent;
    std::shared_ptr<ServiceManager> serviceManager;
    std::shared_ptr<ChromeHostManifest> chromeHostManifest;
    // Chromium, Brave, Microsoft Edge, Vivaldi: served like Chrome where they are present.
    std::vector<std::shared_ptr<ChromeHostManifest>> otherBrowserHostManifests;
    // Firefox's, served where Firefox has run for this user.
    std::shared_ptr<ChromeHostManifest> firefoxHostManifest;
    LaunchOrigin launchOrigin = LaunchOrigin::person;
    // The agent's program on disk, watched for an update installed over it.
    std::shared_ptr<InstalledProgram> installedProgram;
    std::shared_ptr<AdminCheck> adminCheck;
    std::shared_ptr<BrowserPolicy> browserPolicy;
    // The last rules applied, for the next start to apply before the service answers.
    std::shared_ptr<KeptFile> keptRules;
    // The keep-alive unit's watchdog, fed from the main loop.
    std::shared_ptr<ServiceWatchdog> serviceWatchdog;
    Paths paths;
    // The service's base URL when overridden (ServiceEndpoint::resolve falls back to the built-in
    // host), the shared HTTPS session, and the maker of each WebSocket client's own session.
    std::optional<std::string> serviceURL;
    std::shared_ptr<HttpTransport> httpSession;
    std::function<std::shared_ptr<WebSocketSession>()> makeWebSocketSession;
    // The session's applications, made when monitoring starts and released when it stops, so
    // nothing watches processes while the device is not paired.
    std::function<std::shared_ptr<Workspace>()> makeWorkspace;
    // The browsers' wake-up, listened to only while monitoring.
    std::shared_ptr<NotificationListener> notificationListener;
    // Asks the application to quit with this exit status once control returns to its event loop.
    std::function<void(int exitStatus)> terminateApplication;
    // From a second copy: asks the agent already running to show its panel.
    std::function<void()> showRunningInstance;
};

}  // namespace tessary
