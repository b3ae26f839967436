#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/core/AppDelegate.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/FakePlatform.h"

namespace tessary::testing {

// A paired agent over fakes and virtual time, with the real shared store in the temporary folder.
class MonitoringFixture : public ::testing::Test {
protected:
    static constexpr const char* kService = "app.brenmoor.tessary.device";
    static constexpr const char* kHeartbeat = "api/heartbeat";
    static constexpr const char* kRules = "api/device/rules";
    // Timers that run for the agent's whole life, monitoring or not: the installed-update check.
    static constexpr std::size_t kLifetimeTimers = 1;

    void pair(const std::string& token = "token-1", const std::string& deviceId = "device-1")
    {
        fake.secureStore->items[{kService, "deviceId"}] = deviceId;
        fake.secureStore->items[{kService, "token"}] = token;
        fake.secureStore->items[{kService, "familyId"}] = "family-1";
    }

    // Launches with the credentials stored now; a paired agent starts monitoring.
    std::shared_ptr<AppDelegate> launch()
    {
        auto delegate = std::make_shared<AppDelegate>(fake.platform());
        delegate->applicationDidFinishLaunching();
        fake.mainQueue->runUntilIdle();
        return delegate;
    }

    bool answer(const std::string& path, long status, const std::string& body = {})
    {
        const bool answered = fake.http->reply(path, status, body);
        fake.mainQueue->runUntilIdle();
        return answered;
    }

    // The error the newest heartbeat carried ("X-App-Error"), absent when it carried none.
    std::optional<std::string> heartbeatError() const
    {
        for (auto exchange = fake.http->exchanges.rbegin(); exchange != fake.http->exchanges.rend(); ++exchange) {
            if (!exchange->request.url.ends_with(kHeartbeat))
                continue;
            for (const auto& [name, value] : exchange->request.headers)
                if (name == "X-App-Error")
                    return value;
            return std::nullopt;
        }
        return std::nullopt;
    }

    bool hasCredential(const std::string& account) const
    {
        return fake.secureStore->items.contains({kService, account});
    }

    // What the agent sent on its newest channel after its status, in order.
    std::vector<nlohmann::json> sent() const
    {
        if (fake.webSocketSessions.empty() || fake.webSocketSessions.back()->opened.empty())
            return {};
        std::vector<nlohmann::json> messages;
        for (const auto& message : fake.webSocketSessions.back()->opened.back().connection->sent)
            if (message.value("type", "") != "status")
                messages.push_back(message);
        return messages;
    }

    // The shared store as a browser component sees it.
    std::unique_ptr<SharedStore> browserStore()
    {
        auto opened = SharedStore::open(SharedStoreFormat::storePath(fake.paths), SharedStore::Access::readWrite,
                                        std::chrono::milliseconds(1000));
        EXPECT_TRUE(opened) << opened.error().description;
        return opened ? std::move(opened).value() : nullptr;
    }

    std::optional<nlohmann::json> publishedRules()
    {
        auto store = browserStore();
        auto rules = store->dataForKey(SharedStoreFormat::kRulesKey);
        if (!rules || !rules.value())
            return std::nullopt;
        return nlohmann::json::parse(*rules.value());
    }

    static std::string rulesJson(const std::string& mode, const std::vector<std::string>& blockedSites,
                                 const std::vector<std::string>& blockedApps,
                                 const std::vector<std::string>& approvedApps = {})
    {
        return nlohmann::json{{"mode", mode},
                              {"blockedSites", blockedSites},
                              {"blockedApps", blockedApps},
                              {"approvedSites", nlohmann::json::array()},
                              {"approvedApps", approvedApps},
                              {"grants", nlohmann::json::array()}}
            .dump();
    }

    FakePlatform fake;
};

}  // namespace tessary::testing
