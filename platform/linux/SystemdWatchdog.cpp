#include "platform/linux/SystemdWatchdog.h"

#include <cstdint>
#include <systemd/sd-daemon.h>

namespace tessary {

SystemdWatchdog::SystemdWatchdog(std::filesystem::path restartNotice) : restartNotice_(std::move(restartNotice)) {}

std::optional<std::chrono::milliseconds> SystemdWatchdog::interval()
{
    std::uint64_t microseconds = 0;
    // Also checks WATCHDOG_PID: a child started with the agent's environment is not watched.
    if (sd_watchdog_enabled(0, &microseconds) <= 0 || microseconds < 1000)
        return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(microseconds));
}

void SystemdWatchdog::notifyRunning()
{
    // Without a manager listening this does nothing; nothing to report either way.
    sd_notify(0, "READY=1");
}

void SystemdWatchdog::feed()
{
    sd_notify(0, "WATCHDOG=1");
}

bool SystemdWatchdog::takeRestartNotice()
{
    std::error_code error;
    return std::filesystem::remove(restartNotice_, error);
}

}  // namespace tessary
