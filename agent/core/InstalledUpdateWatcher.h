#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/InstalledProgram.h"
#include "platform/LaunchOrigin.h"
#include "platform/Logger.h"
#include "platform/MainQueue.h"

namespace tessary {

// Moves the agent onto an update installed over it. Under the keep-alive agent this copy ends and
// the new program is started a second later; a copy nothing would start again keeps running the
// old program until its next start, and says so once.
class InstalledUpdateWatcher {
public:
    static constexpr auto kCheckInterval = std::chrono::seconds(5);

    InstalledUpdateWatcher(std::shared_ptr<InstalledProgram> program, std::shared_ptr<MainQueue> mainQueue,
                           LaunchOrigin origin, std::function<void(int exitStatus)> terminate, Logger logger);
    ~InstalledUpdateWatcher();
    InstalledUpdateWatcher(const InstalledUpdateWatcher&) = delete;
    InstalledUpdateWatcher& operator=(const InstalledUpdateWatcher&) = delete;

    void start();

private:
    void check();

    std::shared_ptr<InstalledProgram> program_;
    std::shared_ptr<MainQueue> mainQueue_;
    LaunchOrigin origin_;
    std::function<void(int)> terminate_;
    Logger logger_;
    std::shared_ptr<ScheduledWork> timer_;
    bool replacedAtLastCheck_ = false;
};

}  // namespace tessary
