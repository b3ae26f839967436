#include <QCoreApplication>
#include <QPluginLoader>
#include <QTimer>

#include <malloc.h>

#include <cstdlib>
#include <string_view>

#include "agent/core/AppDelegate.h"
#include "agent/service/ServiceEndpoint.h"
#include "agent/ui/MenuBarScene.h"
#include "agent/ui/QtMainQueue.h"
#include "agent/ui/StatusNotifierItem.h"
#include "agent/ui/XEmbedTrayModule.h"
#include "platform/linux/AgentConfiguration.h"
#include "platform/linux/ApplicationWatcher.h"
#include "platform/linux/FileDescriptorLimit.h"
#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/BeastWebSocketSession.h"
#include "platform/linux/BundleLocator.h"
#include "platform/linux/HostManifestFile.h"
#include "platform/linux/BeastHttpTransport.h"
#include "platform/linux/BeastPackageDownloader.h"
#include "platform/linux/DatagramNotificationListener.h"
#include "platform/linux/EnvironmentPaths.h"
#include "platform/linux/ExecutableOnDisk.h"
#include "platform/linux/FlockInstanceLock.h"
#include "platform/linux/GroupAdminCheck.h"
#include "platform/linux/JsonFileUserDefaults.h"
#include "platform/linux/LaunchEnvironment.h"
#include "platform/linux/LinuxHostFacts.h"
#include "platform/linux/ManagedBrowserPolicy.h"
#include "platform/linux/PrivateKeptFile.h"
#include "platform/linux/SecureStoreFactory.h"
#include "platform/linux/SessionBusName.h"
#include "platform/linux/SystemLogSink.h"
#include "platform/linux/SystemctlServiceManager.h"
#include "platform/linux/SystemdKeepAliveUnit.h"
#include "platform/linux/SystemdWatchdog.h"
#include "platform/linux/XdgOpenLauncher.h"
#include "shared/SharedStoreFormat.h"

using namespace tessary;

namespace {

constexpr const char* kXEmbedTrayModuleFileName = "Tessary_XEmbedTray.so";

AgentPlatform linuxPlatform(QCoreApplication& app, const AgentConfiguration& configuration,
                            std::shared_ptr<const MainBundle> bundle, std::shared_ptr<LogSink> logSink)
{
    AgentPlatform platform;
    platform.paths = EnvironmentPaths::current();
    platform.paths.dataDirs = configuration.dataDirs(platform.paths.dataDirs);
    platform.mainQueue = std::make_shared<QtMainQueue>(&app);
    platform.clock = std::make_shared<SystemClock>();
    platform.logSink = std::move(logSink);
    platform.secureStore = SecureStoreFactory::forAgent(platform.paths, configuration.secretBackend(),
                                                        platform.mainQueue, platform.logSink);
    platform.bundle = std::move(bundle);
    platform.userDefaults = std::make_shared<JsonFileUserDefaults>(platform.paths.configHome / "app.brenmoor.tessary" /
                                                                   "settings.json");
    platform.instanceLock =
        std::make_shared<FlockInstanceLock>(platform.paths.runtimeDir / "app.brenmoor.tessary.lock");
    platform.hostFacts = std::make_shared<LinuxHostFacts>();
    platform.launcher = std::make_shared<XdgOpenLauncher>(platform.mainQueue);
    platform.loginItem = std::make_shared<AutostartLoginItem>(platform.paths, platform.bundle->executablePath());
    auto keepAliveUnit = std::make_shared<SystemdKeepAliveUnit>(platform.paths);
    platform.serviceManager =
        std::make_shared<SystemctlServiceManager>(SystemdKeepAliveUnit::kUnitName, std::vector{keepAliveUnit->unitPath(),
                                                  keepAliveUnit->systemWideUnitPath()});
    platform.keepAliveAgent = keepAliveUnit;
    platform.browserPolicy = std::make_shared<ManagedBrowserPolicy>();
    platform.chromeHostManifest = HostManifestFile::chrome(platform.paths, NativeMessagingHost::kChromeHostName);
    for (auto& manifest : HostManifestFile::otherBrowsers(platform.paths, NativeMessagingHost::kChromeHostName))
        platform.otherBrowserHostManifests.push_back(std::move(manifest));
    platform.firefoxHostManifest = HostManifestFile::firefox(platform.paths, NativeMessagingHost::kChromeHostName);
    platform.launchOrigin = LaunchEnvironment::origin();
    platform.installedProgram = std::make_shared<ExecutableOnDisk>(platform.bundle->executablePath());
    platform.adminCheck = std::make_shared<GroupAdminCheck>();
    platform.keptRules = std::make_shared<PrivateKeptFile>(
        platform.paths.dataHome / "app.brenmoor.tessary" / "rules.json", AppDelegate::kLargestKeptRules);
    platform.serviceWatchdog =
        std::make_shared<SystemdWatchdog>(platform.paths.runtimeDir / SystemdKeepAliveUnit::kWatchdogNoticeName);
    platform.serviceURL = configuration.serviceURL();
    platform.httpSession = std::make_shared<BeastHttpTransport>(configuration.extraCaFile());
    platform.makeWebSocketSession = [extraCaFile = configuration.extraCaFile()] {
        return std::make_shared<BeastWebSocketSession>(extraCaFile);
    };
    platform.makeWorkspace = [mainQueue = platform.mainQueue, paths = platform.paths, bundle = platform.bundle,
                              logSink = platform.logSink,
                              searchPath = configuration.searchPath(AgentConfiguration::processEnvironment()("PATH"))] {
        const auto agentId = bundle->infoString("CFBundleIdentifier").value_or("app.brenmoor.tessary");
        return std::make_shared<ApplicationWatcher>(
            mainQueue, paths, ApplicationWatcher::sessionSettings(bundle->bundlePath(), agentId, searchPath, logSink));
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

// An XEmbed tray is possible only on X11, and needed only where the desktop shows no
// StatusNotifierItems (a watcher that appears later takes over from the XEmbed icon).
bool mayNeedXEmbedTray()
{
    const char* display = std::getenv("DISPLAY");
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (display == nullptr || *display == '\0' ||
        (platform != nullptr && *platform != '\0' && std::string_view(platform) != "xcb"))
        return false;
    return !SessionBusName::hasOwner(StatusNotifierItem::kWatcherService, std::chrono::milliseconds(500));
}

// The XEmbed tray module, loaded where it may be needed; null elsewhere or when it cannot be loaded.
XEmbedTrayModule* loadXEmbedTrayModule(QPluginLoader& loader, const MainBundle& bundle, const Logger& logger)
{
    if (!mayNeedXEmbedTray())
        return nullptr;
    loader.setFileName(QString::fromStdString(bundle.plugInPath(kXEmbedTrayModuleFileName).string()));
    auto* module = qobject_cast<XEmbedTrayModule*>(loader.instance());
    if (module == nullptr)
        logger.error("The XEmbed tray module could not be loaded: %s", {loader.errorString().toStdString()});
    return module;
}

}  // namespace

int main(int argc, char* argv[])
{
    auto logSink = SystemLogSink::fromEnvironment();
    const Logger logger(logSink, AppDelegate::kSubsystem, "app");
    auto bundle = std::make_shared<const MainBundle>(BundleLocator::running());
    const auto configuration = AgentConfiguration::load(*bundle, AgentConfiguration::processEnvironment(), logger);
    // An address that cannot be used is said once and the built-in service used: an agent that
    // exited here would be restarted until the unit gave up, and the session left unmonitored.
    if (const auto& overrideURL = configuration.serviceURL()) {
        if (auto endpoint = ServiceEndpoint::resolve(overrideURL); !endpoint)
            logger.error("The service address %s is not usable, using the built-in service: %@",
                         {*overrideURL, endpoint.error()});
    }

    // Every running application instance holds a process descriptor.
    FileDescriptorLimit::raiseToHardLimit();
    QPluginLoader xembedTrayLoader;
    auto* xembedTray = loadXEmbedTrayModule(xembedTrayLoader, *bundle, logger);
    // The agent draws nothing itself (the panel has a process of its own), so it connects to no
    // display unless an XEmbed icon needs Qt's widgets.
    const auto application =
        xembedTray != nullptr ? xembedTray->createApplication(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    auto& app = *application;
    app.setApplicationName(QStringLiteral("Tessary"));

    auto platform = linuxPlatform(app, configuration, bundle, logSink);
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
                delegate, platform, std::make_shared<BeastPackageDownloader>(configuration.extraCaFile()), xembedTray);
        });
    });
    // glibc keeps the memory that start-up, a TLS handshake or a closed panel freed; handing it
    // back now and then keeps the agent's resident size at what it uses.
    QTimer memoryTrim;
    memoryTrim.callOnTimeout([] { malloc_trim(0); });
    memoryTrim.start(std::chrono::minutes(5));
    QTimer::singleShot(std::chrono::seconds(30), &app, [] { malloc_trim(0); });
    const int status = QCoreApplication::exec();
    scene.reset();
    return status;
}
