#pragma once

#include <QRect>
#include <QtPlugin>

#include <functional>
#include <memory>

class QObject;
class QWindow;

namespace tessary {

// The panel's window as the panel module builds it. Only the module links Qt Quick and QML, so an
// agent whose panel is never opened never maps them.
class PanelWindow {
public:
    virtual ~PanelWindow() = default;

    // `trayGeometry` is the icon's rectangle in screen coordinates; QRect() when unknown.
    virtual void show(QRect trayGeometry) = 0;
    // A click on the tray icon: shows a closed panel, closes an open one.
    virtual void toggle(QRect trayGeometry) = 0;
    virtual void hide() = 0;
    virtual bool isVisible() const = 0;
    virtual QWindow* window() const = 0;
};

// The entry of the panel module (a Qt plug-in).
class PanelModule {
public:
    virtual ~PanelModule() = default;

    // `content` is the ContentModel the view shows and must outlive the window; `firstFrameDrawn`
    // runs when the first frame after a show reached the screen.
    virtual std::unique_ptr<PanelWindow> createWindow(QObject& content, std::function<void()> firstFrameDrawn) = 0;
};

}  // namespace tessary

#define TESSARY_PANEL_MODULE_IID "app.brenmoor.tessary.PanelModule/1"
Q_DECLARE_INTERFACE(tessary::PanelModule, TESSARY_PANEL_MODULE_IID)
