#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "agent/core/DeviceConfig.h"
#include "agent/service/APIClient.h"
#include "agent/ui/UpdateLineModel.h"
#include "platform/Logger.h"
#include "platform/MainQueue.h"

namespace tessary {

// The setup wizard's state: screen A (not monitored) or B (code entry), the filtered code, the
// pairing exchange and its error. A pairing under way finishes even when the wizard is gone.
class SetupWizardModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString code READ code WRITE setCode NOTIFY codeChanged)
    Q_PROPERTY(bool isSubmitting READ isSubmitting NOTIFY changed)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY changed)
    Q_PROPERTY(bool showingSetup READ showingSetup WRITE setShowingSetup NOTIFY changed)
    Q_PROPERTY(bool canConnect READ canConnect NOTIFY changed)
    Q_PROPERTY(tessary::UpdateLineModel* updateLine READ updateLine CONSTANT)

public:
    static constexpr int kCodeLength = 6;

    // Takes ownership of the update line.
    SetupWizardModel(DeviceConfig& deviceConfig, std::shared_ptr<APIClient> apiClient, std::function<void()> onComplete,
                     std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> logSink,
                     UpdateLineModel* updateLine, QObject* parent = nullptr);

    // Every character Unicode classes as a number (any script), in order, at most six of them.
    static QString filterCode(const QString& text);

    QString code() const { return code_; }
    void setCode(const QString& text);
    bool isSubmitting() const { return isSubmitting_; }
    // Empty when the last attempt did not fail.
    QString errorMessage() const { return errorMessage_; }
    bool showingSetup() const { return showingSetup_; }
    void setShowingSetup(bool showing);
    bool canConnect() const;
    UpdateLineModel* updateLine() const { return updateLine_; }

    // The "Connect" button.
    Q_INVOKABLE void submit();
    // Return in the code field: submits only what the button would.
    Q_INVOKABLE void returnPressed();

signals:
    void codeChanged();
    void changed();
    // Screen B has just been shown: the code field takes the keyboard focus.
    void codeFocusRequested();

private:
    DeviceConfig& deviceConfig_;
    std::shared_ptr<APIClient> apiClient_;
    std::function<void()> onComplete_;
    std::shared_ptr<MainQueue> mainQueue_;
    Logger logger_;
    UpdateLineModel* updateLine_;

    QString code_;
    bool isSubmitting_ = false;
    QString errorMessage_;
    bool showingSetup_ = false;
};

}  // namespace tessary
