#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "agent/service/EventChannel.h"
#include "platform/LogSink.h"
#include "platform/Logger.h"
#include "platform/RunningApplication.h"

namespace tessary {

// Holds the application part of the rules and stops blocked applications at launch.
// All callers run on the main thread; the rule sets are replaced and read only inside the
// blocker's serial section, so a decision never sees a half-replaced set.
//
// An application is judged by every identifier it carries: it is blocked when any of them is
// blocked, and in "deny" mode it runs only when every one of them is approved. A blocked one that
// carries another application's identifier too is also a finding for tamperingDetected.
class AppBlocker {
public:
    using TamperingDetected = std::function<void(const std::string& finding)>;

    AppBlocker(std::shared_ptr<LogSink> logSink, TamperingDetected tamperingDetected);

    void updateBlockedApps(const std::vector<std::string>& bundleIds);
    void updateApprovedApps(const std::vector<std::string>& bundleIds);
    // Enters the serial section and decides for one bundle identifier under the rules in force.
    bool shouldBlock(const std::string& bundleId);
    // The first of the application's identifiers that the rules in force block; absent when it
    // may run or carries no identifier.
    std::optional<std::string> blockedIdentifier(const RunningApplication& application);
    void checkAndBlock(RunningApplication& application);

    // Assigned by the owner on the main thread, after the two set updates. Only the exact
    // "deny" selects the approved list.
    std::string mode = "allow";
    std::weak_ptr<EventChannel> webSocketClient;

private:
    bool decide(const std::string& bundleId) const;

    Logger logger_;
    TamperingDetected tamperingDetected_;
    std::set<std::string> blockedBundleIds_;
    std::set<std::string> approvedBundleIds_;
    // The serial queue "app.brenmoor.app-blocker", entered synchronously.
    std::mutex queue_;
};

}  // namespace tessary
