#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/service/WebSocketClientDelegate.h"

namespace tessary::testing {

// Keeps every delegate call, and whether each came on the thread that built it (the test's
// main thread).
class RecordingChannelDelegate final : public WebSocketClientDelegate {
public:
    void webSocketDidReceiveRules(const RulesPayload& received) override
    {
        check();
        rules.push_back(received);
    }
    void webSocketDidGrantAccess(const std::string& url, std::optional<std::int64_t> expiry) override
    {
        check();
        grants.emplace_back(url, expiry);
    }
    void webSocketDidDenyAccess(const std::string& url) override
    {
        check();
        denied.push_back(url);
    }
    void webSocketDeviceDeauthorized() override
    {
        check();
        ++deauthorizations;
    }
    void webSocketDidConnect() override
    {
        check();
        ++connections;
    }

    std::vector<RulesPayload> rules;
    int connections = 0;
    std::vector<std::pair<std::string, std::optional<std::int64_t>>> grants;
    std::vector<std::string> denied;
    int deauthorizations = 0;
    bool allOnMainThread = true;

private:
    void check() { allOnMainThread = allOnMainThread && std::this_thread::get_id() == mainThread_; }

    std::thread::id mainThread_ = std::this_thread::get_id();
};

}  // namespace tessary::testing
