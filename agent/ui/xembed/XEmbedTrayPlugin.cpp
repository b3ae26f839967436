#include "agent/ui/xembed/XEmbedTrayPlugin.h"

#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>

namespace tessary {

namespace {

class WidgetTrayIcon final : public XEmbedTrayIcon {
public:
    WidgetTrayIcon(const QString& imageFile, const QString& toolTip, std::function<void()> clicked)
    {
        if (!imageFile.isEmpty())
            icon_.setIcon(QIcon(imageFile));
        icon_.setToolTip(toolTip);
        QObject::connect(&icon_, &QSystemTrayIcon::activated, &icon_,
                         [clicked = std::move(clicked)](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                                 clicked();
                         });
        icon_.show();
    }

    bool isVisible() const override { return icon_.isVisible(); }
    QRect geometry() const override { return icon_.geometry(); }
    void hide() override { icon_.hide(); }

private:
    QSystemTrayIcon icon_;
};

}  // namespace

std::unique_ptr<QCoreApplication> XEmbedTrayPlugin::createApplication(int& argc, char** argv)
{
    // Following the desktop's settings would load its theme plug-in: on GTK desktops GTK itself,
    // its accessibility bridge and through it a GL driver, for one icon.
    QApplication::setDesktopSettingsAware(false);
    auto application = std::make_unique<QApplication>(argc, argv);
    application->setQuitOnLastWindowClosed(false);
    return application;
}

std::unique_ptr<XEmbedTrayIcon> XEmbedTrayPlugin::showIcon(const QString& imageFile, const QString& toolTip,
                                                           std::function<void()> clicked)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return nullptr;
    return std::make_unique<WidgetTrayIcon>(imageFile, toolTip, std::move(clicked));
}

}  // namespace tessary
