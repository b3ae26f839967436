#include <gtest/gtest.h>

#include "tests/unit/core/MonitoringFixture.h"

namespace tessary {
namespace {

using testing::MonitoringFixture;

RulesPayload rules(std::string mode, std::vector<std::string> blockedSites, std::vector<std::string> blockedApps,
                   std::vector<std::string> approvedApps)
{
    return RulesPayload{std::move(mode), std::move(blockedSites), std::move(blockedApps), {}, std::move(approvedApps),
                        {}};
}

class RuleDistributionTest : public MonitoringFixture {
protected:
    void SetUp() override
    {
        pair();
        delegate = launch();
    }
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(RuleDistributionTest, PushedRulesReachTheBrowsersWholeAndTheBlockerTheApplicationPart)
{
    auto pushed = rules("allow", {"games.example", "video.example"}, {"org.gnome.Mines"}, {});
    pushed.approvedSites = {"school.example"};
    pushed.grants = {GrantPayload{"games.example", 1'900'000'000}};
    delegate->webSocketDidReceiveRules(pushed);

    EXPECT_TRUE(fake.log->contains("Rules updated: mode=allow, 2 blocked sites, 1 blocked apps"));
    EXPECT_EQ(publishedRules(), pushed.toJson());
    EXPECT_TRUE(delegate->appBlocker()->shouldBlock("org.gnome.Mines"));
    EXPECT_FALSE(delegate->appBlocker()->shouldBlock("games.example")) << "sites never reach the blocker";
}

TEST_F(RuleDistributionTest, DenyWithNoApprovedAppsBlocksEveryApplication)
{
    delegate->webSocketDidReceiveRules(rules("allow", {}, {"org.gnome.Mines"}, {"org.gnome.Calculator"}));
    delegate->webSocketDidReceiveRules(rules("deny", {}, {}, {}));

    EXPECT_EQ(delegate->appBlocker()->mode, "deny");
    EXPECT_TRUE(delegate->appBlocker()->shouldBlock("org.gnome.Calculator"));
    const auto messages = fake.log->messages();
    const auto blocked = std::find(messages.begin(), messages.end(), "AppBlocker updated: 0 blocked apps");
    const auto approved = std::find(messages.begin(), messages.end(), "AppBlocker updated: 0 approved apps");
    ASSERT_NE(blocked, messages.end());
    EXPECT_LT(blocked, approved) << "the blocked set first, then the approved set";
}

TEST_F(RuleDistributionTest, GrantsAreLoggedWithTheOptionalExpiryAndPublishedByHost)
{
    delegate->webSocketDidReceiveRules(rules("allow", {"games.example"}, {}, {}));
    delegate->webSocketDidGrantAccess("https://games.example/level/2", 1'900'000'000);
    delegate->webSocketDidGrantAccess("video.example", std::nullopt);

    EXPECT_TRUE(fake.log->contains("Access granted: https://games.example/level/2, expiry: Optional(1900000000)"));
    EXPECT_TRUE(fake.log->contains("Access granted: video.example, expiry: nil"));
    EXPECT_EQ(publishedRules()->at("grants"),
              nlohmann::json::parse(R"([{"url":"games.example","expiry":1900000000},{"url":"video.example"}])"));
}

TEST_F(RuleDistributionTest, AGrantBeforeAnyRulesIsLoggedAndNotPublished)
{
    delegate->webSocketDidGrantAccess("games.example", 5);
    EXPECT_TRUE(fake.log->contains("Access granted: games.example, expiry: Optional(5)"));
    EXPECT_FALSE(publishedRules());
}

TEST_F(RuleDistributionTest, ADenialOnlyLogs)
{
    delegate->webSocketDidReceiveRules(rules("allow", {"games.example"}, {}, {}));
    const auto before = publishedRules();
    delegate->webSocketDidDenyAccess("https://games.example/");
    EXPECT_TRUE(fake.log->contains("Access denied: https://games.example/"));
    EXPECT_EQ(publishedRules(), before);
}

TEST_F(RuleDistributionTest, ADeletedDeviceIsFullyDeauthorized)
{
    const auto unit = fake.keepAliveUnit->unitPath();
    ASSERT_TRUE(std::filesystem::exists(unit));
    delegate->webSocketDeviceDeauthorized();
    EXPECT_FALSE(std::filesystem::exists(unit));
    EXPECT_FALSE(hasCredential("token"));
    EXPECT_FALSE(delegate->appState().isSetUp());
}

TEST_F(RuleDistributionTest, ReportsAfterTheRunEndedChangeNothing)
{
    delegate->manualReset();
    delegate->webSocketDidReceiveRules(rules("deny", {"games.example"}, {}, {}));
    delegate->webSocketDidGrantAccess("games.example", std::nullopt);
    EXPECT_TRUE(fake.log->contains("Rules updated: mode=deny, 1 blocked sites, 0 blocked apps"));
    EXPECT_FALSE(publishedRules());
}

// The channel itself stays silent once its owner has disconnected it, even for frames that
// arrived just before: a late "device_deleted" must not reach a later pairing.
TEST_F(RuleDistributionTest, ADisconnectedChannelReportsNothingMore)
{
    auto client = delegate->webSocketClient();
    client->handleMessage(R"({"type":"device_deleted"})");
    client->disconnect();
    fake.mainQueue->runUntilIdle();
    EXPECT_TRUE(hasCredential("token"));
    EXPECT_TRUE(delegate->appState().isMonitoring());
}

}  // namespace
}  // namespace tessary
