#include "agent/ui/TrayIcon.h"

#include <QIcon>

namespace tessary {

TrayIcon::TrayIcon(const MainBundle& bundle, QObject* parent) : QObject(parent), icon_(this)
{
    if (const auto image = bundle.resourcePath("MenuBarIcon", "png"))
        icon_.setIcon(QIcon(QString::fromStdString(image->string())));
    icon_.setToolTip(QStringLiteral("Tessary"));
    if (QSystemTrayIcon::isSystemTrayAvailable())
        icon_.show();
}

}  // namespace tessary
