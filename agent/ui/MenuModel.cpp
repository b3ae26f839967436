#include "agent/ui/MenuModel.h"

namespace tessary {

MenuModel::MenuModel(AppStateBridge& appState, std::function<void()> onReset, UpdateLineModel* updateLine,
                     QObject* parent)
    : QObject(parent), appState_(appState), onReset_(std::move(onReset)), updateLine_(updateLine)
{
    updateLine_->setParent(this);
    connect(&appState_, &AppStateBridge::isMonitoringChanged, this, &MenuModel::isMonitoringChanged);
}

QString MenuModel::statusText() const
{
    return isMonitoring() ? QStringLiteral("Monitoring active") : QStringLiteral("Not connected");
}

void MenuModel::reset()
{
    if (onReset_)
        onReset_();
}

}  // namespace tessary
