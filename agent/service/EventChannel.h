#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tessary {

// The outgoing half of the live channel to the service, as the monitor, the blocker and the
// browser-event intake use it (through weak references). Sends are dropped when not connected.
class EventChannel {
public:
    virtual ~EventChannel() = default;
    // One "activity" message carrying the given event objects unchanged.
    virtual void sendActivity(const std::vector<nlohmann::json>& events) = 0;
    virtual void sendAccessRequest(const std::string& url, const std::optional<std::string>& title) = 0;
    virtual void sendBlockedAppLaunch(const std::string& bundleId, const std::string& appName) = 0;
};

}  // namespace tessary
