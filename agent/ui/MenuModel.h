#pragma once

#include <QObject>
#include <QString>

#include <functional>

#include "agent/ui/AppStateBridge.h"
#include "agent/ui/UpdateLineModel.h"

namespace tessary {

// The panel of a paired device: the status row, the update line and, while monitoring is off,
// the reset button.
class MenuModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isMonitoring READ isMonitoring NOTIFY isMonitoringChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY isMonitoringChanged)
    Q_PROPERTY(tessary::UpdateLineModel* updateLine READ updateLine CONSTANT)

public:
    // Takes ownership of the update line; `onReset` may be empty.
    MenuModel(AppStateBridge& appState, std::function<void()> onReset, UpdateLineModel* updateLine,
              QObject* parent = nullptr);

    bool isMonitoring() const { return appState_.isMonitoring(); }
    QString statusText() const;
    UpdateLineModel* updateLine() const { return updateLine_; }

    // The "Reset Setup" button: no confirmation.
    Q_INVOKABLE void reset();

signals:
    void isMonitoringChanged();

private:
    AppStateBridge& appState_;
    std::function<void()> onReset_;
    UpdateLineModel* updateLine_;
};

}  // namespace tessary
