#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include "platform/MainBundle.h"

namespace tessary {

// The menu-bar item: the "MenuBarIcon" image in the system tray, where the desktop has one.
class TrayIcon final : public QObject {
public:
    TrayIcon(const MainBundle& bundle, QObject* parent);

private:
    QSystemTrayIcon icon_;
};

}  // namespace tessary
