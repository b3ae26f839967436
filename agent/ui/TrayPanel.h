#pragma once

#include <QObject>
#include <QPluginLoader>
#include <QRect>

#include <filesystem>
#include <memory>

#include "agent/ui/PanelModule.h"
#include "platform/Logger.h"

class QWindow;

namespace tessary {

class ContentModel;

// The panel the tray icon opens. Its window comes from the panel module, loaded at the first show:
// Qt Quick and QML are most of what the panel costs in memory, and most agents never open it.
class TrayPanel final : public QObject {
    Q_OBJECT

public:
    // The module's file in Contents/PlugIns.
    static constexpr const char* kModuleFileName = "Tessary_Panel.so";

    // `content` must outlive the panel; `modulePath` names the panel module.
    TrayPanel(ContentModel& content, std::filesystem::path modulePath, Logger logger, QObject* parent = nullptr);
    ~TrayPanel() override;

    // `trayGeometry` is the icon's rectangle in screen coordinates; QRect() when unknown.
    void show(QRect trayGeometry);
    // A click on the tray icon: shows a closed panel, closes an open one.
    void toggle(QRect trayGeometry);
    void hide();
    bool isVisible() const;

    // Null until the first show.
    QWindow* window() const;

signals:
    // The first frame after a show reached the screen.
    void firstFrameDrawn();

private:
    // The window, loading the module first; null when the module cannot be loaded.
    PanelWindow* ensureWindow();

    ContentModel& content_;
    std::filesystem::path modulePath_;
    Logger logger_;
    // Made at the first show: a loader given a file name reads the module's metadata at once.
    std::unique_ptr<QPluginLoader> module_;
    std::unique_ptr<PanelWindow> window_;
};

}  // namespace tessary
