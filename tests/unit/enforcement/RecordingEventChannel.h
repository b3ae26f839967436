#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/service/EventChannel.h"

namespace tessary::testing {

// Keeps everything sent, in order; a hook may act while a blocked launch is being reported.
class RecordingEventChannel final : public EventChannel {
public:
    void sendActivity(const std::vector<nlohmann::json>& events) override { activities.push_back(events); }
    void sendAccessRequest(const std::string& url, const std::optional<std::string>& title) override
    {
        accessRequests.emplace_back(url, title);
    }
    void sendBlockedAppLaunch(const std::string& bundleId, const std::string& appName) override
    {
        blockedLaunches.emplace_back(bundleId, appName);
        if (onBlockedAppLaunch)
            onBlockedAppLaunch();
    }

    std::vector<std::vector<nlohmann::json>> activities;
    std::vector<std::pair<std::string, std::optional<std::string>>> accessRequests;
    std::vector<std::pair<std::string, std::string>> blockedLaunches;
    std::function<void()> onBlockedAppLaunch;
};

}  // namespace tessary::testing
