#include <gtest/gtest.h>

#include <tuple>

#include "agent/core/DeviceIdentifier.h"
#include "tests/unit/core/MonitoringFixture.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::MonitoringFixture;
using testing::TemporaryFolder;

constexpr auto kManifestInstalled = "Chrome native messaging host installed → ";

class MonitoringLifecycleTest : public MonitoringFixture {
protected:
    std::size_t manifestWrites() const
    {
        std::size_t count = 0;
        for (const auto& message : fake.log->messages())
            if (message.starts_with(kManifestInstalled))
                ++count;
        return count;
    }

    std::filesystem::path manifestPath(AppDelegate&)
    {
        return fake.chromeManifest->path();
    }
};

TEST_F(MonitoringLifecycleTest, StartsEverythingAtOnceThenHeartbeatsEvery120sAndDrainsEvery2s)
{
    pair();
    auto delegate = launch();

    EXPECT_TRUE(delegate->appState().isMonitoring());
    EXPECT_TRUE(fake.log->contains("Monitoring started"));
    EXPECT_TRUE(fake.log->contains("Registered Darwin notification observer for Safari events"));
    EXPECT_EQ(fake.http->count(kHeartbeat), 1U) << "the first heartbeat goes out before any tick";
    EXPECT_EQ(fake.http->count(kRules), 1U);
    EXPECT_EQ(manifestWrites(), 2U) << "once when the publisher is made, once by the heartbeat's start";
    ASSERT_EQ(fake.webSocketSessions.size(), 1U);
    ASSERT_EQ(fake.webSocketSessions[0]->opened.size(), 1U);
    const auto& headers = fake.webSocketSessions[0]->opened[0].request.headers;
    EXPECT_NE(std::find(headers.begin(), headers.end(), std::pair<std::string, std::string>{"X-Device-Id", "device-1"}),
              headers.end());
    EXPECT_EQ(delegate->apiClient()->deviceId(), "device-1");
    EXPECT_EQ(delegate->apiClient()->token(), "token-1");
    ASSERT_EQ(fake.workspaces.size(), 1U);
    EXPECT_EQ(fake.workspaces[0]->observers.size(), 1U);
    EXPECT_TRUE(fake.notificationListener->listening());

    fake.mainQueue->advance(119s);
    EXPECT_EQ(fake.http->count(kHeartbeat), 1U);
    std::filesystem::remove(fake.keepAliveUnit->unitPath());
    fake.mainQueue->advance(1s);
    EXPECT_EQ(fake.http->count(kHeartbeat), 2U);
    EXPECT_EQ(manifestWrites(), 3U) << "each tick registers the Chrome host again";
    EXPECT_TRUE(fake.log->contains("LaunchAgent missing — re-installing"));
    EXPECT_TRUE(std::filesystem::exists(fake.keepAliveUnit->unitPath())) << "and writes a removed unit again";
    fake.mainQueue->advance(240s);
    EXPECT_EQ(fake.http->count(kHeartbeat), 4U) << "a tick does not wait for earlier heartbeats";
    EXPECT_EQ(fake.http->count(kRules), 1U) << "rules are fetched over HTTP once per run";

    // The poll drains without any wake-up.
    browserStore()->appendEvent(R"({"type":"url_visit","url":"https://a.example/","ts":5})").value();
    fake.mainQueue->advance(1999ms);
    EXPECT_TRUE(sent().empty());
    fake.mainQueue->advance(1ms);
    EXPECT_EQ(sent().size(), 1U);
}

TEST_F(MonitoringLifecycleTest, TheWatchdogIsFedAtHalfItsIntervalAndARestartByItReachesTheParent)
{
    pair();
    fake.serviceWatchdog->watchInterval = 30s;
    fake.serviceWatchdog->restartNotice = true;
    auto delegate = launch();
    EXPECT_EQ(fake.serviceWatchdog->running, 1);
    EXPECT_EQ(fake.serviceWatchdog->fed, 1) << "fed at once";
    fake.mainQueue->advance(15s);
    EXPECT_EQ(fake.serviceWatchdog->fed, 2);
    fake.mainQueue->advance(30s);
    EXPECT_EQ(fake.serviceWatchdog->fed, 4);

    const std::string restarted =
        "Tampering detected: the agent stopped answering (stopped or hung) and its watchdog restarted it";
    EXPECT_TRUE(fake.log->contains(restarted));
    EXPECT_EQ(heartbeatError(), restarted) << "in the first heartbeat";
    ASSERT_TRUE(answer(kHeartbeat, 200, R"({"ok":true,"updateAvailable":false})"));
    delegate->sendHeartbeat();
    EXPECT_EQ(heartbeatError(), std::nullopt);
}

TEST_F(MonitoringLifecycleTest, AMaskOrADropInOnTheKeepAliveUnitIsReportedOnceWhenItAppears)
{
    pair();
    auto delegate = launch();
    const auto unit = fake.keepAliveUnit->unitPath();
    const auto dropIn = fake.paths.runtimeDir / "systemd" / "user.control" /
                        "app.brenmoor.tessary.keepalive.service.d" / "50-Restart.conf";
    const std::string masked = "the keep-alive unit is masked (" + unit.string() + ")";
    const std::string overridden = "a drop-in file changes the keep-alive unit (" + dropIn.string() + ")";
    struct Row {
        const char* name;
        std::function<void()> trick;
        std::string finding;
    };
    const Row rows[] = {
        {"systemctl --user mask",
         [&] {
             std::filesystem::remove(unit);
             std::filesystem::create_symlink("/dev/null", unit);
         },
         masked},
        {"systemctl --user set-property --runtime", [&] { TemporaryFolder::writeFile(dropIn, "[Service]\nRestart=no\n"); },
         overridden},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.trick();
        fake.mainQueue->advance(120s);
        EXPECT_EQ(fake.log->count("Tampering detected: " + row.finding), 1U);
        ASSERT_TRUE(heartbeatError());
        EXPECT_NE(heartbeatError()->find(row.finding), std::string::npos) << *heartbeatError();
        while (answer(kHeartbeat, 200, R"({"ok":true,"updateAvailable":false})")) {
        }
        fake.mainQueue->advance(120s);
        EXPECT_EQ(fake.log->count("Tampering detected: " + row.finding), 1U) << "once while it stays";
    }
}

TEST_F(MonitoringLifecycleTest, StartWithoutTokenLogsAndCreatesNothing)
{
    auto delegate = launch();
    delegate->startMonitoring();
    fake.mainQueue->runUntilIdle();

    EXPECT_TRUE(fake.log->contains("Cannot start monitoring: token missing"));
    EXPECT_FALSE(delegate->appState().isMonitoring());
    EXPECT_FALSE(delegate->webSocketClient());
    EXPECT_TRUE(fake.webSocketSessions.empty());
    EXPECT_EQ(fake.mainQueue->pendingTimers(), kLifetimeTimers);
    EXPECT_TRUE(fake.http->exchanges.empty());
}

TEST_F(MonitoringLifecycleTest, UpdateFieldsAreSetByTrueAndKeptByALaterFalse)
{
    pair();
    auto delegate = launch();
    ASSERT_TRUE(answer(kHeartbeat, 200, R"({"ok":true,"updateAvailable":false})"));
    EXPECT_FALSE(delegate->appState().updateAvailable());

    fake.mainQueue->advance(120s);
    ASSERT_TRUE(answer(kHeartbeat, 200,
                       R"({"ok":true,"updateAvailable":true,"latestVersion":"1.3","downloadUrl":"https://x/T.pkg"})"));
    EXPECT_TRUE(delegate->appState().updateAvailable());
    EXPECT_EQ(delegate->appState().downloadUrl(), "https://x/T.pkg");

    fake.mainQueue->advance(120s);
    ASSERT_TRUE(answer(kHeartbeat, 200, R"({"ok":true,"updateAvailable":false})"));
    EXPECT_TRUE(delegate->appState().updateAvailable());
    EXPECT_EQ(delegate->appState().downloadUrl(), "https://x/T.pkg");
}

TEST_F(MonitoringLifecycleTest, HeartbeatFailuresOtherThan401OnlySetLastError)
{
    pair();
    auto delegate = launch();
    ASSERT_TRUE(answer(kHeartbeat, 500));
    EXPECT_EQ(delegate->apiClient()->lastError(),
              "The operation couldn’t be completed. (APIError.requestFailed(statusCode: 500))");
    EXPECT_TRUE(delegate->appState().isMonitoring());
    EXPECT_TRUE(hasCredential("token"));

    fake.mainQueue->advance(120s);
    ASSERT_TRUE(fake.http->fail(kHeartbeat, "Could not connect to the server."));
    fake.mainQueue->runUntilIdle();
    EXPECT_EQ(delegate->apiClient()->lastError(), "Could not connect to the server.");
    EXPECT_TRUE(delegate->appState().isMonitoring());
    EXPECT_EQ(fake.mainQueue->pendingTimers(), kLifetimeTimers + 2);
}

TEST_F(MonitoringLifecycleTest, Heartbeat401DeauthorizesCompletely)
{
    pair();
    auto delegate = launch();
    ASSERT_TRUE(answer(kRules, 200, rulesJson("allow", {"games.example"}, {})));
    ASSERT_TRUE(publishedRules());
    const auto manifest = manifestPath(*delegate);
    const auto unit = fake.keepAliveUnit->unitPath();
    ASSERT_TRUE(std::filesystem::exists(manifest));
    ASSERT_TRUE(std::filesystem::exists(unit));

    ASSERT_TRUE(answer(kHeartbeat, 401));

    EXPECT_EQ(fake.log->count("Heartbeat returned 401 — device deauthorized"), 1U);
    EXPECT_TRUE(fake.log->contains("Device deauthorized — cleaning up and resetting to setup wizard"));
    EXPECT_FALSE(hasCredential("token"));
    EXPECT_FALSE(hasCredential("familyId"));
    EXPECT_FALSE(hasCredential("deviceId"));
    EXPECT_FALSE(std::filesystem::exists(manifest));
    EXPECT_FALSE(std::filesystem::exists(unit));
    EXPECT_FALSE(publishedRules());
    EXPECT_FALSE(delegate->appState().isSetUp());
    EXPECT_FALSE(delegate->appState().isMonitoring());
    EXPECT_FALSE(delegate->webSocketClient());
    EXPECT_TRUE(fake.webSocketSessions[0]->invalidated);
}

TEST_F(MonitoringLifecycleTest, ManualResetKeepsTheKeepAliveUnitAndClearsLastError)
{
    pair();
    auto delegate = launch();
    delegate->appState().setLastError("earlier failure");
    const auto unit = fake.keepAliveUnit->unitPath();

    delegate->manualReset();

    EXPECT_TRUE(fake.log->contains("Manual reset — clearing credentials and returning to setup"));
    EXPECT_TRUE(std::filesystem::exists(unit));
    EXPECT_FALSE(std::filesystem::exists(manifestPath(*delegate)));
    EXPECT_FALSE(hasCredential("token"));
    EXPECT_FALSE(hasCredential("familyId"));
    EXPECT_FALSE(hasCredential("deviceId"));
    EXPECT_EQ(delegate->appState().lastError(), std::nullopt);
    EXPECT_FALSE(delegate->appState().isSetUp());
    EXPECT_FALSE(delegate->appState().isMonitoring());
}

TEST_F(MonitoringLifecycleTest, AfterStopNoTimerFiresAndAWakeUpDrainsNothing)
{
    pair();
    auto delegate = launch();
    delegate->manualReset();
    const auto requestsBefore = fake.http->exchanges.size();
    const auto sentBefore = sent().size();

    EXPECT_EQ(fake.mainQueue->pendingTimers(), kLifetimeTimers);
    EXPECT_FALSE(fake.notificationListener->listening());
    EXPECT_TRUE(fake.workspaces[0]->observers.empty());

    browserStore()->appendEvent(R"({"type":"url_visit","url":"https://a.example/"})").value();
    fake.notificationListener->post();
    fake.mainQueue->advance(600s);
    EXPECT_EQ(fake.http->exchanges.size(), requestsBefore);
    EXPECT_EQ(sent().size(), sentBefore);
    // The event waits in the store for the next pairing.
    EXPECT_EQ(browserStore()->takeEvents().value().size(), 1U);
}

TEST_F(MonitoringLifecycleTest, SetupCompletedStartsMonitoringAndChecksThePolicyForAnyUser)
{
    fake.adminCheck->admin = false;
    auto delegate = launch();

    pair();
    delegate->setupCompleted();
    fake.mainQueue->runUntilIdle();
    delegate->setupCompleted();
    fake.mainQueue->runUntilIdle();

    EXPECT_TRUE(fake.log->contains("setupCompleted() called — setting isSetUp=true"));
    EXPECT_TRUE(fake.log->contains("setupCompleted() — appState.isSetUp is now true"));
    EXPECT_TRUE(delegate->appState().isSetUp());
    EXPECT_TRUE(delegate->appState().isMonitoring());
    EXPECT_TRUE(fake.launcher->opened.empty());
    EXPECT_EQ(fake.log->count("Browser policy not installed: an administrator must install the Tessary package so "
                              "that the browsers keep the extension"),
              1U);
}

// A reply that belongs to a run a reset has ended must not act on the pairing that followed.
TEST_F(MonitoringLifecycleTest, LateRepliesOfAnEndedRunDoNotTouchANewPairing)
{
    pair("token-1", "device-1");
    auto delegate = launch();
    delegate->manualReset();

    pair("token-2", "device-2");
    delegate->setupCompleted();
    fake.mainQueue->runUntilIdle();
    ASSERT_EQ(fake.http->count(kHeartbeat), 2U);

    // The first run's replies arrive now: its heartbeat was refused, its rules block everything.
    ASSERT_TRUE(answer(kHeartbeat, 401));
    ASSERT_TRUE(answer(kRules, 200, rulesJson("deny", {"late.example"}, {"org.late.App"})));

    EXPECT_FALSE(fake.log->contains("Heartbeat returned 401 — device deauthorized"));
    EXPECT_TRUE(hasCredential("token"));
    EXPECT_EQ(fake.secureStore->items.at({kService, "token"}), "token-2");
    EXPECT_TRUE(delegate->appState().isMonitoring());
    EXPECT_FALSE(publishedRules());
    EXPECT_FALSE(delegate->appBlocker()->shouldBlock("org.gnome.Calculator"));

    // The current run's replies still act.
    ASSERT_TRUE(answer(kRules, 200, rulesJson("allow", {"games.example"}, {})));
    EXPECT_EQ(publishedRules()->at("blockedSites"), nlohmann::json::array({"games.example"}));
    ASSERT_TRUE(answer(kHeartbeat, 401));
    EXPECT_FALSE(hasCredential("token"));
}

TEST_F(MonitoringLifecycleTest, RulesThatDoNotDecodeLeaveBlockerAndBrowsersUnchanged)
{
    pair();
    auto delegate = launch();
    ASSERT_TRUE(answer(kRules, 200, R"({"mode":"deny","blockedSites":"not a list"})"));

    const auto messages = fake.log->messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(),
                            [](const auto& m) { return m.starts_with("Failed to fetch rules: "); }));
    EXPECT_FALSE(publishedRules());
    EXPECT_FALSE(delegate->appBlocker()->shouldBlock("org.gnome.Calculator"));
    EXPECT_EQ(fake.http->count(kRules), 1U) << "not retried";
}

TEST_F(MonitoringLifecycleTest, ARejectedRulesFetchIsLoggedWithItsStatus)
{
    pair();
    launch();
    ASSERT_TRUE(answer(kRules, 503));
    EXPECT_TRUE(fake.log->contains(
        "Failed to fetch rules: The operation couldn’t be completed. (APIError.requestFailed(statusCode: 503))"));
}

TEST_F(MonitoringLifecycleTest, AFailingWakeUpSocketLeavesThePollToDrain)
{
    fake.notificationListener->failure = Error{"The socket path is too long"};
    pair();
    auto delegate = launch();
    EXPECT_TRUE(fake.log->contains("Failed to register for browser events: The socket path is too long"));
    EXPECT_TRUE(delegate->appState().isMonitoring());
    browserStore()->appendEvent(R"({"type":"url_visit","url":"https://a.example/","ts":5})").value();
    fake.mainQueue->advance(2s);
    EXPECT_EQ(sent().size(), 1U);
}

// Chromium, Brave, Microsoft Edge and Vivaldi each get Chrome's manifest where they are present,
// again after a deletion at the next heartbeat, and lose it when the pairing ends.
enum class PairingEnd { manualReset, deauthorization };

class OtherBrowsersLifecycleTest : public MonitoringFixture,
                                   public ::testing::WithParamInterface<std::tuple<PairingEnd, bool>> {
protected:
    // Half of the browsers are present, alternating, so each is seen present and absent.
    bool isPresent(std::size_t index) const { return (index % 2 == 0) == std::get<1>(GetParam()); }
};

TEST_P(OtherBrowsersLifecycleTest, ServedLikeChromeWherePresentAndRemovedWhenThePairingEnds)
{
    const auto& browsers = fake.otherBrowserManifests;
    for (std::size_t i = 0; i < browsers.size(); ++i)
        browsers[i]->present = isPresent(i);
    // Firefox's manifest is its own, with the same lifecycle.
    auto& firefox = *fake.firefoxManifest;
    firefox.present = isPresent(browsers.size());
    const auto firefoxServed = [&] {
        return firefox.content && firefox.content->find("web-extension@tessary.brenmoor.app") != std::string::npos;
    };
    pair();
    auto delegate = launch();
    EXPECT_EQ(firefoxServed(), firefox.present);
    firefox.content.reset();

    const auto chromeManifest = testing::TemporaryFolder::readFile(fake.chromeManifest->path());
    for (std::size_t i = 0; i < browsers.size(); ++i) {
        SCOPED_TRACE(browsers[i]->browserName());
        EXPECT_EQ(browsers[i]->content, isPresent(i) ? std::optional(chromeManifest) : std::nullopt);
        browsers[i]->content.reset();
    }

    fake.mainQueue->advance(119s);
    for (const auto& browser : browsers)
        EXPECT_FALSE(browser->content.has_value()) << browser->browserName() << " before the tick";
    fake.mainQueue->advance(1s);
    for (std::size_t i = 0; i < browsers.size(); ++i)
        EXPECT_EQ(browsers[i]->content, isPresent(i) ? std::optional(chromeManifest) : std::nullopt)
            << browsers[i]->browserName() << " at the tick";
    EXPECT_EQ(firefoxServed(), firefox.present) << "Firefox at the tick";

    fake.log->clear();
    if (std::get<0>(GetParam()) == PairingEnd::manualReset)
        delegate->manualReset();
    else
        ASSERT_TRUE(answer(kHeartbeat, 401));

    EXPECT_FALSE(std::filesystem::exists(fake.chromeManifest->path()));
    for (std::size_t i = 0; i < browsers.size(); ++i) {
        SCOPED_TRACE(browsers[i]->browserName());
        EXPECT_FALSE(browsers[i]->content.has_value());
        EXPECT_EQ(fake.log->count(browsers[i]->browserName() + " native messaging host removed"),
                  isPresent(i) ? 1U : 0U);
    }
    EXPECT_FALSE(firefox.content.has_value());
    EXPECT_EQ(fake.log->count("Firefox native messaging host removed"), firefox.present ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(PairingEnds, OtherBrowsersLifecycleTest,
                         ::testing::Combine(::testing::Values(PairingEnd::manualReset, PairingEnd::deauthorization),
                                            ::testing::Bool()),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param) == PairingEnd::manualReset
                                                    ? "ManualReset"
                                                    : "Deauthorization") +
                                    (std::get<1>(param.param) ? "_ChromiumAndEdgePresent" : "_BraveAndVivaldiPresent");
                         });

}  // namespace
}  // namespace tessary
