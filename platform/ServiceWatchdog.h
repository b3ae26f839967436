#pragma once

#include <chrono>
#include <optional>

namespace tessary {

// The service manager's watch over the running agent: told once the agent runs, then fed while its
// main loop turns, so an agent that is stopped or hangs is ended and started again.
class ServiceWatchdog {
public:
    virtual ~ServiceWatchdog() = default;

    // How often the manager must hear from the agent; absent when nothing watches it.
    virtual std::optional<std::chrono::milliseconds> interval() = 0;
    virtual void notifyRunning() = 0;
    virtual void feed() = 0;
    // Whether the watchdog ended the agent that ran before this one; the notice is taken.
    virtual bool takeRestartNotice() = 0;
};

}  // namespace tessary
