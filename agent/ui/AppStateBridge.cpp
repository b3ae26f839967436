#include "agent/ui/AppStateBridge.h"

namespace tessary {

AppStateBridge::AppStateBridge(AppState& state, std::shared_ptr<MainQueue> mainQueue, QObject* parent)
    : QObject(parent), state_(state), mainQueue_(std::move(mainQueue)), isSetUp_(state.isSetUp()),
      isMonitoring_(state.isMonitoring())
{
    observer_ = state_.observeWillChange([this] {
        if (*refreshPending_)
            return;
        *refreshPending_ = true;
        mainQueue_->post([this, pending = std::weak_ptr<bool>(refreshPending_)] {
            if (!pending.expired())
                refresh();
        });
    });
}

AppStateBridge::~AppStateBridge()
{
    state_.removeObserver(observer_);
}

void AppStateBridge::refresh()
{
    *refreshPending_ = false;
    if (state_.isSetUp() != isSetUp_) {
        isSetUp_ = state_.isSetUp();
        emit isSetUpChanged();
    }
    if (state_.isMonitoring() != isMonitoring_) {
        isMonitoring_ = state_.isMonitoring();
        emit isMonitoringChanged();
    }
}

}  // namespace tessary
