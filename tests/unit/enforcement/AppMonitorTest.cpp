#include <gtest/gtest.h>

#include "agent/enforcement/AppMonitor.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/ManualClock.h"
#include "tests/support/FakeRunningApplication.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/unit/enforcement/RecordingEventChannel.h"

namespace tessary {
namespace {

using testing::FakeRunningApplication;
using testing::FakeWorkspace;
using testing::ManualClock;
using testing::RecordingEventChannel;

class AppMonitorTest : public ::testing::Test {
protected:
    AppMonitorTest()
    {
        clock->set(std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'123'900)));
        monitor->webSocketClient = channel;
        monitor->start();
        blocker->webSocketClient = channel;
    }

    void attachBlocker() { monitor->appBlocker = blocker; }

    static std::shared_ptr<FakeRunningApplication> app(std::optional<std::string> id, std::optional<std::string> name)
    {
        return std::make_shared<FakeRunningApplication>(std::move(id), std::move(name));
    }

    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<RecordingEventChannel> channel = std::make_shared<RecordingEventChannel>();
    std::shared_ptr<AppMonitor> monitor = std::make_shared<AppMonitor>(workspace, clock, log);
    std::shared_ptr<AppBlocker> blocker = std::make_shared<AppBlocker>(log, [](const std::string&) {});
};

TEST_F(AppMonitorTest, LaunchAndTerminationAreReportedAsActivityEvents)
{
    attachBlocker();
    const auto editor = app("com.work.Editor", "Editor");
    workspace->launch(editor);
    workspace->terminate(editor);
    ASSERT_EQ(channel->activities.size(), 2U);
    const auto launch = nlohmann::json::parse(
        R"({"type":"app_launch","appName":"Editor","bundleId":"com.work.Editor","ts":1700000123})");
    // No appName key at all on a termination.
    const auto termination = nlohmann::json::parse(R"({"type":"app_terminate","bundleId":"com.work.Editor","ts":1700000123})");
    EXPECT_EQ(channel->activities[0], std::vector<nlohmann::json>{launch});
    EXPECT_EQ(channel->activities[1], std::vector<nlohmann::json>{termination});
    EXPECT_TRUE(log->contains("App monitor started"));
    EXPECT_TRUE(log->contains("App launched: Editor"));
    EXPECT_TRUE(log->contains("App terminated: com.work.Editor"));
    EXPECT_TRUE(channel->blockedLaunches.empty());
}

TEST_F(AppMonitorTest, BlockedLaunchIsReportedOnceAsBlockedAndItsTerminationAsUsual)
{
    attachBlocker();
    blocker->updateBlockedApps({"com.game.Fun"});
    const auto game = app("com.game.Fun", "Fun Game");
    workspace->launch(game);
    EXPECT_EQ(game->terminations, 1);
    ASSERT_EQ(channel->blockedLaunches.size(), 1U);
    EXPECT_EQ(channel->blockedLaunches[0].first, "com.game.Fun");
    EXPECT_TRUE(channel->activities.empty());
    EXPECT_FALSE(log->contains("App launched: Fun Game"));

    workspace->terminate(game);
    ASSERT_EQ(channel->activities.size(), 1U);
    EXPECT_EQ(channel->activities[0][0]["type"], "app_terminate");
    EXPECT_EQ(channel->activities[0][0]["bundleId"], "com.game.Fun");
    EXPECT_EQ(channel->blockedLaunches.size(), 1U);
}

TEST_F(AppMonitorTest, LaunchesWithoutIdentifierOrNameProduceNothing)
{
    attachBlocker();
    blocker->mode = "deny";  // would block anything it were asked about
    struct Row {
        const char* name;
        std::shared_ptr<FakeRunningApplication> application;
    };
    const std::vector<Row> rows = {
        {"no identifier", app(std::nullopt, "Nameless")},
        {"no display name", app("com.game.Fun", std::nullopt)},
        {"neither", app(std::nullopt, std::nullopt)},
    };
    for (const auto& row : rows) {
        log->clear();
        workspace->launch(row.application);
        EXPECT_EQ(row.application->terminations, 0) << row.name;
        EXPECT_TRUE(channel->activities.empty()) << row.name;
        EXPECT_TRUE(channel->blockedLaunches.empty()) << row.name;
        EXPECT_TRUE(log->messages().empty()) << row.name;
    }
    workspace->launch(nullptr);
    workspace->terminate(nullptr);
    workspace->terminate(app(std::nullopt, "Nameless"));
    EXPECT_TRUE(channel->activities.empty());
}

TEST_F(AppMonitorTest, TerminationNeedsNoDisplayName)
{
    workspace->terminate(app("com.work.Editor", std::nullopt));
    ASSERT_EQ(channel->activities.size(), 1U);
    EXPECT_FALSE(channel->activities[0][0].contains("appName"));
}

TEST_F(AppMonitorTest, WithoutABlockerEveryLaunchIsReported)
{
    workspace->launch(app("com.game.Fun", "Fun Game"));
    ASSERT_EQ(channel->activities.size(), 1U);
    EXPECT_EQ(channel->activities[0][0]["bundleId"], "com.game.Fun");
}

TEST_F(AppMonitorTest, RulesChangedBetweenTheTwoQueriesDecideByTheSecond)
{
    attachBlocker();
    blocker->updateBlockedApps({"com.game.Fun"});
    // The rules arrive while the blocked launch is being reported.
    channel->onBlockedAppLaunch = [this] { blocker->updateBlockedApps({}); };
    const auto game = app("com.game.Fun", "Fun Game");
    workspace->launch(game);
    EXPECT_EQ(game->terminations, 1);
    EXPECT_EQ(channel->blockedLaunches.size(), 1U);
    ASSERT_EQ(channel->activities.size(), 1U);
    EXPECT_EQ(channel->activities[0][0]["type"], "app_launch");
}

TEST_F(AppMonitorTest, BlockingActsAtLaunchOnly)
{
    attachBlocker();
    const auto running = app("com.game.Fun", "Fun Game");
    workspace->launch(running);
    blocker->updateBlockedApps({"com.game.Fun"});
    EXPECT_EQ(running->terminations, 0) << "no sweep of running applications";
    const auto next = app("com.game.Fun", "Fun Game");
    workspace->launch(next);
    EXPECT_EQ(next->terminations, 1);
    EXPECT_EQ(channel->blockedLaunches.size(), 1U);
}

TEST_F(AppMonitorTest, WithTheChannelGoneLaunchesAreStillBlockedAndEventsDropped)
{
    attachBlocker();
    blocker->updateBlockedApps({"com.game.Fun"});
    channel.reset();
    const auto game = app("com.game.Fun", "Fun Game");
    workspace->launch(game);
    workspace->launch(app("com.work.Editor", "Editor"));
    workspace->terminate(game);
    EXPECT_EQ(game->terminations, 1);
    EXPECT_TRUE(log->contains("App launched: Editor"));
}

TEST_F(AppMonitorTest, TextThatCannotBeEncodedDropsTheEventSilently)
{
    workspace->launch(app("com.work.Editor", "Bad \xff name"));
    workspace->terminate(app("com.bad.\xfe", "Bad"));
    EXPECT_TRUE(channel->activities.empty());
}

TEST_F(AppMonitorTest, ADestroyedMonitorHearsNothing)
{
    std::weak_ptr<AppMonitor> gone = monitor;
    monitor.reset();
    EXPECT_TRUE(gone.expired());
    workspace->launch(app("com.work.Editor", "Editor"));
    EXPECT_TRUE(channel->activities.empty());
}

}  // namespace
}  // namespace tessary
