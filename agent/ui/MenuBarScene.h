#pragma once

#include <QObject>
#include <QRect>

#include <memory>

#include "agent/core/AgentPlatform.h"
#include "agent/core/AppDelegate.h"
#include "agent/ui/ContentModel.h"
#include "agent/ui/PanelActivation.h"
#include "agent/ui/StatusNotifierItem.h"
#include "agent/ui/PanelProcess.h"
#include "agent/ui/XEmbedTrayModule.h"
#include "platform/PackageDownloader.h"

namespace tessary {

// The agent's whole user interface: the "MenuBarIcon" tray item whose click opens the panel, shown
// through the desktop's StatusNotifierWatcher (also one that appears after the agent) or else an
// XEmbed tray (through the XEmbed tray module). Where the desktop shows no tray at launch, the wizard opens as a window, and a second
// start of the agent opens the panel. Built once the start-up sequence has run in the one running
// agent.
class MenuBarScene final : public QObject {
public:
    // `xembedTray` is the loaded XEmbed tray module, null where none was needed at launch.
    MenuBarScene(std::shared_ptr<AppDelegate> delegate, const AgentPlatform& platform,
                 std::shared_ptr<PackageDownloader> packageDownloader, XEmbedTrayModule* xembedTray,
                 QObject* parent = nullptr);

    static std::filesystem::path activationSocketPath(const Paths& paths);

private:
    void showPanel();
    QRect trayGeometry() const;

    Logger logger_;
    ContentModel content_;
    PanelProcess panel_;
    StatusNotifierItem statusItem_;
    // Only where the desktop had no StatusNotifierWatcher at launch but an XEmbed tray.
    std::unique_ptr<XEmbedTrayIcon> trayIcon_;
    // Where the item was last clicked, when shown through the watcher.
    QRect statusItemGeometry_;
    PanelActivation activation_;
};

}  // namespace tessary
