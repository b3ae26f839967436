#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "agent/service/RulesPayload.h"

namespace tessary {

// What the channel reports to its owner; every call arrives on the main queue.
class WebSocketClientDelegate {
public:
    virtual ~WebSocketClientDelegate() = default;
    virtual void webSocketDidReceiveRules(const RulesPayload& rules) = 0;
    virtual void webSocketDidGrantAccess(const std::string& url, std::optional<std::int64_t> expiry) = 0;
    virtual void webSocketDidDenyAccess(const std::string& url) = 0;
    virtual void webSocketDeviceDeauthorized() = 0;
    // The channel is open again (after its first open too).
    virtual void webSocketDidConnect() = 0;
};

}  // namespace tessary
