#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

#include "agent/core/AppDelegate.h"
#include "agent/ui/AppStateBridge.h"
#include "agent/ui/MenuModel.h"
#include "agent/ui/SetupWizardModel.h"
#include "agent/ui/UpdateLineModel.h"

namespace tessary {

// The panel's root: the setup wizard while the device is not set up, the menu once it is, chosen
// live from isSetUp alone. Each switch builds the other side afresh (first screen, empty code,
// idle update line).
class ContentModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isSetUp READ isSetUp NOTIFY contentChanged)
    Q_PROPERTY(tessary::SetupWizardModel* wizard READ wizard NOTIFY contentChanged)
    Q_PROPERTY(tessary::MenuModel* menu READ menu NOTIFY contentChanged)

public:
    using UpdateLineFactory = std::function<UpdateLineModel*(UpdateLineModel::Variant)>;

    ContentModel(std::shared_ptr<AppDelegate> delegate, std::shared_ptr<MainQueue> mainQueue,
                 std::shared_ptr<LogSink> logSink, UpdateLineFactory makeUpdateLine, QObject* parent = nullptr);

    bool isSetUp() const { return appState_.isSetUp(); }
    // Null while the menu is shown.
    SetupWizardModel* wizard() const { return wizard_; }
    // Null while the wizard is shown.
    MenuModel* menu() const { return menu_; }
    AppStateBridge& appState() { return appState_; }

signals:
    void contentChanged();

private:
    void rebuild();

    std::shared_ptr<AppDelegate> delegate_;
    std::shared_ptr<MainQueue> mainQueue_;
    std::shared_ptr<LogSink> logSink_;
    UpdateLineFactory makeUpdateLine_;
    AppStateBridge appState_;
    QPointer<SetupWizardModel> wizard_;
    QPointer<MenuModel> menu_;
};

}  // namespace tessary
