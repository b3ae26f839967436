#pragma once

#include <QRect>
#include <QString>
#include <QtPlugin>

#include <functional>
#include <memory>

class QCoreApplication;

namespace tessary {

// An icon in a tray that speaks only XEmbed, as Qt's widgets show it.
class XEmbedTrayIcon {
public:
    virtual ~XEmbedTrayIcon() = default;

    virtual bool isVisible() const = 0;
    // In screen coordinates.
    virtual QRect geometry() const = 0;
    virtual void hide() = 0;
};

// The entry of the XEmbed tray module (a Qt plug-in). Only the module links Qt's widgets, which an
// XEmbed icon needs, application object included; an agent whose desktop shows StatusNotifierItems
// never maps them.
class XEmbedTrayModule {
public:
    virtual ~XEmbedTrayModule() = default;

    // The process's application object (Qt's widgets application), made before any other Qt object.
    virtual std::unique_ptr<QCoreApplication> createApplication(int& argc, char** argv) = 0;
    // The icon, shown; null when the display has no XEmbed tray. `clicked` runs on a click.
    virtual std::unique_ptr<XEmbedTrayIcon> showIcon(const QString& imageFile, const QString& toolTip,
                                                     std::function<void()> clicked) = 0;
};

}  // namespace tessary

#define TESSARY_XEMBED_TRAY_MODULE_IID "app.brenmoor.tessary.XEmbedTrayModule/1"
Q_DECLARE_INTERFACE(tessary::XEmbedTrayModule, TESSARY_XEMBED_TRAY_MODULE_IID)
