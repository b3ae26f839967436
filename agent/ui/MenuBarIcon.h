#pragma once

#include <QList>

#include "agent/ui/StatusNotifierItem.h"

namespace tessary {

// The "MenuBarIcon" resource as the tray item shows it, rendered when the agent is built.
class MenuBarIcon {
public:
    // At the image's size and at twice it.
    static QList<StatusNotifierPixmap> pixmaps();
};

}  // namespace tessary
