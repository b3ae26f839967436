#pragma once

#include <QObject>

#include <memory>

#include "agent/core/AppState.h"
#include "platform/MainQueue.h"

namespace tessary {

// AppState as the views read it: Qt properties with change signals. AppState tells its observers
// before a change, so the bridge reads the new values in work posted to the main queue, once per
// burst of changes.
class AppStateBridge final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isSetUp READ isSetUp NOTIFY isSetUpChanged)
    Q_PROPERTY(bool isMonitoring READ isMonitoring NOTIFY isMonitoringChanged)

public:
    AppStateBridge(AppState& state, std::shared_ptr<MainQueue> mainQueue, QObject* parent = nullptr);
    ~AppStateBridge() override;

    bool isSetUp() const { return isSetUp_; }
    bool isMonitoring() const { return isMonitoring_; }

signals:
    void isSetUpChanged();
    void isMonitoringChanged();

private:
    void refresh();

    AppState& state_;
    std::shared_ptr<MainQueue> mainQueue_;
    AppState::ObserverId observer_;
    // Set while a refresh is posted; the bridge lives as long as this token does.
    std::shared_ptr<bool> refreshPending_ = std::make_shared<bool>(false);
    bool isSetUp_;
    bool isMonitoring_;
};

}  // namespace tessary
