#include "tests/support/FakePlatform.h"

#include <gtest/gtest.h>

#include "agent/core/AppDelegate.h"
#include "platform/linux/PrivateKeptFile.h"

namespace tessary::testing {

FakePlatform::FakePlatform(const std::string& infoJson) : paths(folder.paths())
{
    bundlePath = folder.path() / "opt" / "tessary";
    TemporaryFolder::writeFile(bundlePath / "Contents" / "Info.json", infoJson);
}

FakePlatform::~FakePlatform()
{
    http->exchanges.clear();
}

AgentPlatform FakePlatform::platform()
{
    AgentPlatform p;
    p.mainQueue = mainQueue;
    p.clock = clock;
    p.logSink = log;
    p.secureStore = secureStore;
    p.bundle = std::make_shared<MainBundle>(bundlePath, bundlePath / "Contents" / "bin" / "PellixApp");
    p.userDefaults = userDefaults;
    p.instanceLock = instanceLock;
    p.hostFacts = hostFacts;
    p.launcher = launcher;
    p.browserPolicy = browserPolicy;
    p.loginItem = loginItem;
    p.keepAliveAgent = keepAliveUnit;
    p.serviceManager = serviceManager;
    p.chromeHostManifest = chromeManifest;
    p.firefoxHostManifest = firefoxManifest;
    p.otherBrowserHostManifests.assign(otherBrowserManifests.begin(), otherBrowserManifests.end());
    p.launchOrigin = launchOrigin;
    p.installedProgram = installedProgram;
    p.adminCheck = adminCheck;
    p.serviceWatchdog = serviceWatchdog;
    p.keptRules = std::make_shared<PrivateKeptFile>(keptRulesFile(), AppDelegate::kLargestKeptRules);
    p.paths = paths;
    p.httpSession = http;
    p.makeWebSocketSession = [this] {
        auto session = webSocketSessions.emplace_back(std::make_shared<FakeWebSocketSession>());
        session->opensAtOnce = true;
        return session;
    };
    p.makeWorkspace = [this] {
        auto workspace = std::make_shared<FakeWorkspace>();
        workspace->running = alreadyRunning;
        return workspaces.emplace_back(std::move(workspace));
    };
    p.notificationListener = notificationListener;
    p.terminateApplication = [this](int status) {
        ++terminateRequests;
        exitStatus = status;
    };
    p.showRunningInstance = [this] {
        EXPECT_TRUE(log->messages().empty()) << "asked before the duplicate's log line";
        ++showRunningInstanceRequests;
    };
    return p;
}

}  // namespace tessary::testing
