#include "agent/ui/ContentModel.h"

namespace tessary {

ContentModel::ContentModel(std::shared_ptr<AppDelegate> delegate, std::shared_ptr<MainQueue> mainQueue,
                           std::shared_ptr<LogSink> logSink, UpdateLineFactory makeUpdateLine, QObject* parent)
    : QObject(parent), delegate_(std::move(delegate)), mainQueue_(std::move(mainQueue)), logSink_(std::move(logSink)),
      makeUpdateLine_(std::move(makeUpdateLine)), appState_(delegate_->appState(), mainQueue_)
{
    connect(&appState_, &AppStateBridge::isSetUpChanged, this, &ContentModel::rebuild);
    rebuild();
}

void ContentModel::rebuild()
{
    // The side going away is deleted later: the view may still be reading it in this turn.
    if (isSetUp()) {
        if (menu_)
            return;
        if (wizard_) {
            wizard_->deleteLater();
            wizard_ = nullptr;
        }
        menu_ = new MenuModel(appState_, [delegate = delegate_] { delegate->manualReset(); },
                              makeUpdateLine_(UpdateLineModel::Variant::menu), this);
    } else {
        if (wizard_)
            return;
        if (menu_) {
            menu_->deleteLater();
            menu_ = nullptr;
        }
        wizard_ = new SetupWizardModel(delegate_->deviceConfig(), delegate_->apiClient(),
                                       [delegate = delegate_] { delegate->setupCompleted(); }, mainQueue_, logSink_,
                                       makeUpdateLine_(UpdateLineModel::Variant::wizard), this);
    }
    emit contentChanged();
}

}  // namespace tessary
