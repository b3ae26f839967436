#include "agent/ui/MenuBarScene.h"

#include "agent/ui/MenuBarIcon.h"

namespace tessary {

namespace {

ContentModel::UpdateLineFactory updateLineFactory(const std::shared_ptr<AppDelegate>& delegate,
                                                  const AgentPlatform& platform,
                                                  std::shared_ptr<PackageDownloader> packageDownloader)
{
    return [apiClient = delegate->apiClient(), downloader = std::move(packageDownloader),
            launcher = platform.launcher, mainQueue = platform.mainQueue, logSink = platform.logSink,
            tempDir = platform.paths.tempDir, bundle = platform.bundle](UpdateLineModel::Variant variant) {
        return new UpdateLineModel(variant, apiClient, downloader, launcher, mainQueue, logSink, tempDir,
                                   bundle->infoString("CFBundleShortVersionString"),
                                   bundle->infoString("CFBundleVersion"));
    };
}

}  // namespace

MenuBarScene::MenuBarScene(std::shared_ptr<AppDelegate> delegate, const AgentPlatform& platform,
                           std::shared_ptr<PackageDownloader> packageDownloader, XEmbedTrayModule* xembedTray,
                           QObject* parent)
    : QObject(parent), logger_(platform.logSink, AppDelegate::kSubsystem, "app"),
      content_(delegate, platform.mainQueue, platform.logSink,
               updateLineFactory(delegate, platform, std::move(packageDownloader))),
      panel_(content_, platform.bundle->bundlePath() / "Contents" / "Helpers" / PanelProcess::kProgramFileName, logger_),
      statusItem_(QStringLiteral("app.brenmoor.tessary"), QStringLiteral("Tessary"), MenuBarIcon::pixmaps(), this),
      activation_(activationSocketPath(platform.paths), platform.mainQueue)
{
    connect(&statusItem_, &StatusNotifierItem::activated, this, [this](QPoint where) {
        statusItemGeometry_ = where.isNull() ? QRect() : QRect(where, QSize(1, 1));
        panel_.toggle(trayGeometry());
    });
    connect(&statusItem_, &StatusNotifierItem::registered, this, [this] {
        // One icon: the watcher's item takes the place of an XEmbed one.
        if (trayIcon_)
            trayIcon_->hide();
        logger_.info("Tray icon registered with the desktop");
    });
    // With a watcher an XEmbed icon would be a second one.
    if (!statusItem_.watcherPresentAtStart() && xembedTray) {
        const auto image = platform.bundle->resourcePath("MenuBarIcon", "png");
        trayIcon_ = xembedTray->showIcon(image ? QString::fromStdString(image->string()) : QString(),
                                         QStringLiteral("Tessary"), [this] { panel_.toggle(trayGeometry()); });
    }
    const bool hasTray = trayIcon_ || statusItem_.watcherPresentAtStart();
    activation_.listen([this] {
        logger_.info("Showing the panel for a second start of the agent");
        showPanel();
    });
    // Without a tray nothing else would ever show the wizard to a computer that is not paired.
    if (!hasTray && !content_.isSetUp())
        showPanel();
}

std::filesystem::path MenuBarScene::activationSocketPath(const Paths& paths)
{
    return paths.runtimeDir / PanelActivation::kSocketName;
}

void MenuBarScene::showPanel()
{
    panel_.show(trayGeometry());
}

QRect MenuBarScene::trayGeometry() const
{
    return trayIcon_ && trayIcon_->isVisible() ? trayIcon_->geometry() : statusItemGeometry_;
}

}  // namespace tessary
