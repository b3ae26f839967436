#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tessary {

// The agent's observable state for the views. Written only by the agent core, on the main thread.
// Observers are told before each change of a published field (not for lastError).
class AppState {
public:
    using Observer = std::function<void()>;
    using ObserverId = std::uint64_t;

    explicit AppState(bool isSetUp);

    bool isSetUp() const { return isSetUp_; }
    bool isMonitoring() const { return isMonitoring_; }
    bool updateAvailable() const { return updateAvailable_; }
    const std::optional<std::string>& downloadUrl() const { return downloadUrl_; }
    const std::optional<std::string>& lastError() const { return lastError_; }

    void setIsSetUp(bool value);
    void setIsMonitoring(bool value);
    void setUpdateAvailable(bool value);
    void setDownloadUrl(std::optional<std::string> value);
    void setLastError(std::optional<std::string> value);

    ObserverId observeWillChange(Observer observer);
    void removeObserver(ObserverId id);

private:
    void willChange() const;

    bool isSetUp_;
    bool isMonitoring_ = false;
    bool updateAvailable_ = false;
    std::optional<std::string> downloadUrl_;
    std::optional<std::string> lastError_;

    std::map<ObserverId, Observer> observers_;
    ObserverId nextObserverId_ = 1;
};

}  // namespace tessary
