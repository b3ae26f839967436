#include <QApplication>
#include <QTimer>

#include <cstdio>

#include "agent/core/AppDelegate.h"
#include "agent/service/ServiceEndpoint.h"
#include "agent/ui/MenuBarScene.h"
#include "agent/ui/QtMainQueue.h"
#include "platform/linux/ApplicationWatcher.h"
#include "platform/linux/FileDescriptorLimit.h"
#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/BeastWebSocketSession.h"
#include "platform/linux/BundleLocator.h"
#include "platform/linux/ChromeManifestFile.h"
#include "platform/linux/CurlHttpTransport.h"
#include "platform/linux/CurlPackageDownloader.h"
#include "platform/linux/DatagramNotificationListener.h"
#include "platform/linux/EnvironmentPaths.h"
#include "platform/linux/ExecutableOnDisk.h"
#include "platform/linux/FlockInstanceLock.h"
#include "platform/linux/GroupAdminCheck.h"
#include "platform/linux/JsonFileUserDefaults.h"
#include "platform/linux/LaunchEnvironment.h"
#include "platform/linux/LinuxHostFacts.h"
#include "platform/linux/PrivateKeptFile.h"
#include "platform/linux/SecureStoreFactory.h"
#include "platform/linux/ServiceEnvironment.h"
#include "platform/linux/SystemLogSink.h"
#include "platform/linux/SystemctlServiceManager.h"
#include "platform/linux/SystemdKeepAliveUnit.h"
#include "platform/linux/SystemdWatchdog.h"
#include "platform/linux/XdgOpenLauncher.h"
#include "shared/SharedStoreFormat.h"

using namespace tessary;

namespace {

AgentPlatform linuxPlatform(QApplication& app)
{
    AgentPlatform platform;
    platform.paths = EnvironmentPaths::current();
    platform.mainQueue = std::make_shared<QtMainQueue>(&app);
    platform.clock = std::make_shared<SystemClock>();
    platform.logSink = SystemLogSink::fromEnvironment();
    platform.secureStore = SecureStoreFactory::forEnvironment(platform.paths, platform.mainQueue, platform.logSink);
    platform.bundle = std::make_shared<MainBundle>(BundleLocator::running());
    platform.userDefaults = std::make_shared<JsonFileUserDefaults>(platform.paths.configHome / "app.brenmoor.tessary" /
                                                                   "settings.json");
    platform.instanceLock =
        std::make_shared<FlockInstanceLock>(platform.paths.runtimeDir / "app.brenmoor.tessary.lock");
    platform.hostFacts = std::make_shared<LinuxHostFacts>();
    platform.launcher = std::make_shared<XdgOpenLauncher>();
    platform.loginItem = std::make_shared<AutostartLoginItem>(platform.paths, platform.bundle->executablePath());
    auto keepAliveUnit = std::make_shared<SystemdKeepAliveUnit>(platform.paths);
    platform.serviceManager =
        std::make_shared<SystemctlServiceManager>(SystemdKeepAliveUnit::kUnitName, std::vector{keepAliveUnit->unitPath(),
                                                  keepAliveUnit->systemWideUnitPath()});
    platform.keepAliveAgent = keepAliveUnit;
    platform.chromeHostManifest = ChromeManifestFile::chrome(platform.paths, NativeMessagingHost::kChromeHostName);
    for (auto& manifest : ChromeManifestFile::otherBrowsers(platform.paths, NativeMessagingHost::kChromeHostName))
        platform.otherBrowserHostManifests.push_back(std::move(manifest));
    platform.launchOrigin = LaunchEnvironment::origin();
    platform.installedProgram = std::make_shared<ExecutableOnDisk>(platform.bundle->executablePath());
    platform.adminCheck = std::make_shared<GroupAdminCheck>();
    platform.keptRules = std::make_shared<PrivateKeptFile>(
        platform.paths.dataHome / "app.brenmoor.tessary" / "rules.json", AppDelegate::kLargestKeptRules);
    platform.serviceWatchdog =
        std::make_shared<SystemdWatchdog>(platform.paths.runtimeDir / SystemdKeepAliveUnit::kWatchdogNoticeName);
    platform.serviceURL = ServiceEnvironment::serviceURL();
    platform.httpSession = std::make_shared<CurlHttpTransport>(ServiceEnvironment::extraCaFile());
    platform.makeWebSocketSession = [extraCaFile = ServiceEnvironment::extraCaFile()] {
        return std::make_shared<BeastWebSocketSession>(extraCaFile);
    };
    platform.makeWorkspace = [mainQueue = platform.mainQueue, paths = platform.paths, bundle = platform.bundle,
                              logSink = platform.logSink] {
        const auto agentId = bundle->infoString("CFBundleIdentifier").value_or("app.brenmoor.tessary");
        return std::make_shared<ApplicationWatcher>(
            mainQueue, paths, ApplicationWatcher::sessionSettings(bundle->bundlePath(), agentId, logSink));
    };
    platform.notificationListener = std::make_shared<DatagramNotificationListener>(
        SharedStoreFormat::notificationSocketPath(platform.paths), platform.mainQueue);
    platform.terminateApplication = [](int exitStatus) {
        QTimer::singleShot(0, qApp, [exitStatus] { QCoreApplication::exit(exitStatus); });
    };
    platform.showRunningInstance = [socket = MenuBarScene::activationSocketPath(platform.paths)] {
        PanelActivation::requestShow(socket);
    };
    return platform;
}

}  // namespace

int main(int argc, char* argv[])
{
    // An override that cannot be used is said once and the built-in service used: an agent that
    // exited here would be restarted until the unit gave up, and the session left unmonitored.
    if (const auto overrideURL = ServiceEnvironment::serviceURL()) {
        if (auto endpoint = ServiceEndpoint::resolve(overrideURL); !endpoint)
            std::fprintf(stderr, "TESSARY_SERVICE_URL is not usable, using the built-in service: %s\n",
                         endpoint.error().description.c_str());
    }

    // Every running application instance holds a process descriptor.
    FileDescriptorLimit::raiseToHardLimit();
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Tessary"));
    app.setQuitOnLastWindowClosed(false);

    auto platform = linuxPlatform(app);
    bool terminating = false;
    platform.terminateApplication = [&terminating, quit = platform.terminateApplication](int exitStatus) {
        terminating = true;
        quit(exitStatus);
    };
    auto delegate = std::make_shared<AppDelegate>(platform);
    std::unique_ptr<MenuBarScene> scene;

    QTimer::singleShot(0, &app, [&] {
        // The panel shows what the credentials say, so it is made once they are known (a keyring
        // may keep the start-up waiting); a duplicate leaves without ever reading them.
        delegate->applicationDidFinishLaunching([&] {
            if (terminating)
                return;
            scene = std::make_unique<MenuBarScene>(
                delegate, platform, std::make_shared<CurlPackageDownloader>(ServiceEnvironment::extraCaFile()));
        });
    });
    const int status = QApplication::exec();
    scene.reset();
    return status;
}
