#pragma once

#include <memory>
#include <vector>

#include "agent/enforcement/AppBlocker.h"
#include "agent/service/ActivityEvent.h"
#include "agent/service/EventChannel.h"
#include "platform/Clock.h"
#include "platform/LogSink.h"
#include "platform/Logger.h"
#include "platform/Workspace.h"
#include "platform/WorkspaceObserver.h"

namespace tessary {

// Reports application launches and terminations to the service, handing every launch to the
// blocker first. Runs entirely on the main thread and keeps no state beyond its references.
class AppMonitor final : public WorkspaceObserver, public std::enable_shared_from_this<AppMonitor> {
public:
    AppMonitor(std::shared_ptr<Workspace> workspace, std::shared_ptr<Clock> clock, std::shared_ptr<LogSink> logSink);

    // Subscribes to the workspace's launch and termination notifications. Called once.
    void start();
    // Unsubscribes: nothing more is reported or blocked through this monitor.
    void stop();
    // Stops every running application the rules in force block, as at its launch: one started
    // while the agent was down, or before the rules that block it arrived.
    void judgeRunningApplications();

    void appDidLaunch(const std::shared_ptr<RunningApplication>& application) override;
    void appDidTerminate(const std::shared_ptr<RunningApplication>& application) override;

    // Absent until the owner attaches it; while absent every launch is reported unchecked.
    std::shared_ptr<AppBlocker> appBlocker;
    std::weak_ptr<EventChannel> webSocketClient;

private:
    void sendEvent(const ActivityEvent& event);

    std::shared_ptr<Workspace> workspace_;
    // Applications this monitor had stopped, until they are gone.
    std::vector<std::weak_ptr<RunningApplication>> stopped_;
    std::shared_ptr<Clock> clock_;
    Logger logger_;
};

}  // namespace tessary
