#include <gtest/gtest.h>

#include <functional>

#include "tests/support/FakeRunningApplication.h"
#include "tests/unit/core/MonitoringFixture.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::FakeRunningApplication;
using testing::MonitoringFixture;
using testing::TemporaryFolder;

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

TEST_F(RuleDistributionTest, GrantsAreLoggedAndPublishedByHostOnceThereAreRulesAndADenialOnlyLogs)
{
    delegate->webSocketDidGrantAccess("early.example", 5);
    EXPECT_TRUE(fake.log->contains("Access granted: early.example, expiry: Optional(5)"));
    EXPECT_FALSE(publishedRules()) << "nothing is published before any rules";

    delegate->webSocketDidReceiveRules(rules("allow", {"games.example"}, {}, {}));
    delegate->webSocketDidGrantAccess("https://games.example/level/2", 1'900'000'000);
    delegate->webSocketDidGrantAccess("video.example", std::nullopt);
    EXPECT_TRUE(fake.log->contains("Access granted: https://games.example/level/2, expiry: Optional(1900000000)"));
    EXPECT_TRUE(fake.log->contains("Access granted: video.example, expiry: nil"));
    const auto published = publishedRules();
    ASSERT_TRUE(published);
    EXPECT_EQ(published->at("grants"),
              nlohmann::json::parse(R"([{"url":"games.example","expiry":1900000000},{"url":"video.example"}])"));

    delegate->webSocketDidDenyAccess("https://games.example/");
    EXPECT_TRUE(fake.log->contains("Access denied: https://games.example/"));
    EXPECT_EQ(publishedRules(), published);
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

TEST_F(RuleDistributionTest, TheLastRulesHoldAtTheNextStartBeforeTheServiceAnswersAndGoWithThePairing)
{
    auto pushed = rules("allow", {"games.example"}, {"org.gnome.Mines"}, {});
    delegate->webSocketDidReceiveRules(pushed);
    delegate->webSocketDidGrantAccess("https://www.games.example/", 1'900'000'000);
    const auto kept = publishedRules();

    // The agent killed, and started again with the network off.
    delegate->stopMonitoring();
    delegate.reset();
    delegate = launch();
    EXPECT_TRUE(fake.log->contains("Rules kept from the last run applied: 1 blocked sites"));
    EXPECT_EQ(publishedRules(), kept) << "grants included";
    EXPECT_TRUE(delegate->appBlocker()->shouldBlock("org.gnome.Mines"));
    ASSERT_TRUE(fake.http->fail(kRules, "offline"));
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(publishedRules(), kept);

    delegate->manualReset();
    EXPECT_FALSE(std::filesystem::exists(fake.keptRulesFile()));
}

TEST_F(RuleDistributionTest, KeptRulesThatCannotBeReadAreSaidOnceAndNeverStopTheStart)
{
    struct Row {
        const char* name;
        std::function<void()> put;
        bool said;
    };
    const auto file = [&](std::string bytes) { return [&, bytes] { TemporaryFolder::writeFile(fake.keptRulesFile(), bytes); }; };
    const Row rows[] = {
        {"not JSON", file("{\"mode\":\"deny\","), true},
        {"a record missing its lists", file(R"({"mode":"deny"})"), true},
        {"lists of the wrong type", file(R"({"mode":"deny","blockedSites":1,"blockedApps":[],"approvedSites":[],)"
                                         R"("approvedApps":[],"grants":[]})"), true},
        {"larger than any rules", file(std::string(AppDelegate::kLargestKeptRules + 1, ' ')), false},
        {"a link to an endless device",
         [&] {
             std::filesystem::remove(fake.keptRulesFile());
             std::filesystem::create_symlink("/dev/zero", fake.keptRulesFile());
         },
         false},
    };
    const auto saidLines = [&] {
        const auto messages = fake.log->messages();
        return std::count_if(messages.begin(), messages.end(), [](const std::string& line) {
            return line.starts_with("Kept rules could not be read: ");
        });
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        delegate->stopMonitoring();
        row.put();
        const auto before = saidLines();
        delegate->startMonitoring();
        EXPECT_TRUE(delegate->appState().isMonitoring());
        EXPECT_EQ(publishedRules(), std::nullopt) << "nothing of it applied";
        EXPECT_EQ(saidLines() - before, row.said ? 1 : 0);
    }
}

TEST_F(RuleDistributionTest, AFailedFetchIsRetriedWithBackOffUntilItSucceedsAndAgainOnEachReconnection)
{
    const std::chrono::seconds delays[] = {5s, 10s, 20s, 40s, 60s, 60s};
    for (const auto delay : delays) {
        SCOPED_TRACE(delay.count());
        const auto asked = fake.http->count(kRules);
        ASSERT_TRUE(fake.http->fail(kRules, "offline"));
        fake.mainQueue->advance(delay - 1ms);
        EXPECT_EQ(fake.http->count(kRules), asked);
        fake.mainQueue->advance(1ms);
        EXPECT_EQ(fake.http->count(kRules), asked + 1);
    }
    ASSERT_TRUE(answer(kRules, 200, rulesJson("allow", {"games.example"}, {})));
    fake.mainQueue->advance(120s);
    const auto asked = fake.http->count(kRules);
    EXPECT_EQ(publishedRules()->at("blockedSites"), nlohmann::json::array({"games.example"}));

    delegate->webSocketDidConnect();
    EXPECT_EQ(fake.http->count(kRules), asked + 1) << "rules may have changed while the channel was down";
    delegate->webSocketDidConnect();
    EXPECT_EQ(fake.http->count(kRules), asked + 1) << "one fetch at a time";
}

TEST_F(RuleDistributionTest, RulesFetchedBeforeNewerPushedRulesArriveAreNotApplied)
{
    delegate->webSocketDidReceiveRules(rules("deny", {"video.example"}, {}, {"org.gnome.Calculator"}));
    ASSERT_TRUE(answer(kRules, 200, rulesJson("allow", {}, {})));
    EXPECT_TRUE(fake.log->contains("Rules fetched via HTTP are older than rules received since — not applied"));
    EXPECT_EQ(publishedRules()->at("mode"), "deny");
    EXPECT_EQ(delegate->appBlocker()->mode, "deny");
}

TEST_F(RuleDistributionTest, ApplicationsAlreadyRunningAreJudgedWhenRulesArriveAndAtTheNextStart)
{
    auto game = std::make_shared<FakeRunningApplication>("org.example.Game", "Game");
    auto editor = std::make_shared<FakeRunningApplication>("org.gnome.TextEditor", "Text Editor");
    fake.workspaces.back()->launch(game);
    fake.workspaces.back()->launch(editor);
    EXPECT_EQ(game->terminations, 0);

    delegate->webSocketDidReceiveRules(rules("allow", {}, {"org.example.Game"}, {}));
    EXPECT_EQ(game->terminations, 1);
    EXPECT_EQ(editor->terminations, 0);
    EXPECT_TRUE(fake.log->contains("Blocking app: Game (org.example.Game)"));
    const auto all = sent();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back()["type"], "blocked_app_launch");
    EXPECT_EQ(all.back()["payload"]["bundleId"], "org.example.Game");
    // New rules before the game's end was delivered: not stopped and reported again.
    delegate->webSocketDidReceiveRules(rules("allow", {"games.example"}, {"org.example.Game"}, {}));
    EXPECT_EQ(game->terminations, 1);
    EXPECT_EQ(sent().size(), all.size());

    // Started again while the agent was down: the kept rules stop it at once.
    delegate->stopMonitoring();
    delegate.reset();
    auto again = std::make_shared<FakeRunningApplication>("org.example.Game", "Game");
    fake.alreadyRunning = {again, editor};
    delegate = launch();
    EXPECT_EQ(again->terminations, 1);
    EXPECT_EQ(editor->terminations, 0);
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
