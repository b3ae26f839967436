#include "agent/core/AppState.h"

namespace tessary {

AppState::AppState(bool isSetUp) : isSetUp_(isSetUp) {}

void AppState::setIsSetUp(bool value)
{
    willChange();
    isSetUp_ = value;
}

void AppState::setIsMonitoring(bool value)
{
    willChange();
    isMonitoring_ = value;
}

void AppState::setUpdateAvailable(bool value)
{
    willChange();
    updateAvailable_ = value;
}

void AppState::setDownloadUrl(std::optional<std::string> value)
{
    willChange();
    downloadUrl_ = std::move(value);
}

void AppState::setLastError(std::optional<std::string> value)
{
    lastError_ = std::move(value);
}

AppState::ObserverId AppState::observeWillChange(Observer observer)
{
    const auto id = nextObserverId_++;
    observers_.emplace(id, std::move(observer));
    return id;
}

void AppState::removeObserver(ObserverId id)
{
    observers_.erase(id);
}

void AppState::willChange() const
{
    // A copy, so an observer may remove itself while being told.
    const auto observers = observers_;
    for (const auto& [id, observer] : observers)
        observer();
}

}  // namespace tessary
