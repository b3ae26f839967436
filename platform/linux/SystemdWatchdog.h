#pragma once

#include <filesystem>

#include "platform/ServiceWatchdog.h"

namespace tessary {

// systemd's watchdog through the notification socket it names in NOTIFY_SOCKET (set for a unit
// with NotifyAccess=), at the interval it gives in WATCHDOG_USEC. The keep-alive unit leaves a
// notice file in the runtime folder when its watchdog ended the agent.
class SystemdWatchdog final : public ServiceWatchdog {
public:
    explicit SystemdWatchdog(std::filesystem::path restartNotice);

    std::optional<std::chrono::milliseconds> interval() override;
    void notifyRunning() override;
    void feed() override;
    bool takeRestartNotice() override;

private:
    std::filesystem::path restartNotice_;
};

}  // namespace tessary
