#include <gtest/gtest.h>

#include "agent/service/WebSocketClient.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/BeastWebSocketSession.h"
#include "tests/integration/service/RecordingChannelDelegate.h"
#include "tests/integration/service/StandInService.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::ManualMainQueue;
using testing::RecordingChannelDelegate;
using testing::StandInService;

class WebSocketClientTest : public ::testing::Test {
protected:
    WebSocketClientTest()
    {
        client = std::make_shared<WebSocketClient>(stand.wsURL(), device.deviceId, device.token,
                                                   std::make_shared<BeastWebSocketSession>(stand.caFile()), queue,
                                                   logSink);
        client->setDelegate(delegate);
    }

    ~WebSocketClientTest() override { client->disconnect(); }

    nlohmann::json records() { return stand.service().devices()[device.deviceId]; }
    std::size_t count(const char* list) { return records()[list].size(); }

    bool waitFor(const std::function<bool()>& condition) { return queue->runUntil(condition); }

    void connectAndWaitForStatus(std::size_t statuses = 1)
    {
        client->connect();
        ASSERT_TRUE(waitFor([&] { return count("statuses") >= statuses; }));
    }

    // Sends a frame and then a marker, so everything before the marker has been handled.
    void sendThenSync(const std::string& frame)
    {
        stand.service().sendRaw(device.deviceId, frame);
        stand.service().denyAccess(device.deviceId, "marker.example");
        ASSERT_TRUE(waitFor([&] { return !delegate->denied.empty() && delegate->denied.back() == "marker.example"; }));
        delegate->denied.pop_back();
    }

    std::size_t logged(const std::string& line) { return logSink->count(line); }

    StandInService stand;
    StandInService::PairedDevice device = stand.pairDevice();
    std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<MemoryLogSink> logSink = std::make_shared<MemoryLogSink>();
    std::shared_ptr<RecordingChannelDelegate> delegate = std::make_shared<RecordingChannelDelegate>();
    std::shared_ptr<WebSocketClient> client;
};

TEST_F(WebSocketClientTest, UpgradeCarriesCredentialsAndEveryOpenSendsStatus)
{
    connectAndWaitForStatus();
    EXPECT_EQ(logged("WebSocket connecting to " + stand.wsURL()), 1u);
    EXPECT_EQ(logged("WebSocket connected"), 1u);
    const auto upgrade = records()["channelOpens"][0]["headers"];
    EXPECT_EQ(upgrade["X-Device-Id"], device.deviceId);
    EXPECT_EQ(upgrade["Authorization"], "Bearer " + device.token);
    EXPECT_EQ(records()["statuses"][0]["payload"], (nlohmann::json{{"online", true}}));

    stand.service().closeChannels(device.deviceId, 1000);
    ASSERT_TRUE(waitFor([&] { return queue->pendingTimers() == 1; }));
    queue->advance(5s);
    ASSERT_TRUE(waitFor([&] { return count("statuses") == 2; }));
    EXPECT_EQ(client->reconnectAttempt(), 0);
}

TEST_F(WebSocketClientTest, EachIncomingTypeReachesTheDelegateOnTheMainQueue)
{
    connectAndWaitForStatus();
    const nlohmann::json rules = {{"mode", "deny"},          {"blockedSites", {"a.example"}}, {"blockedApps", {"org.game"}},
                                  {"approvedSites", nlohmann::json::array()}, {"approvedApps", {"org.school"}},
                                  {"grants", {{{"url", "b.example"}, {"expiry", 1700000000}}}}};
    stand.service().pushRules(device.deviceId, rules);
    stand.service().grantAccess(device.deviceId, "plain.example", std::nullopt);
    stand.service().grantAccess(device.deviceId, "fraction.example", 1.5);
    stand.service().grantAccess(device.deviceId, "seconds.example", 1700000000);
    stand.service().grantAccess(device.deviceId, "text.example", "soon");
    stand.service().denyAccess(device.deviceId, "no.example");
    stand.service().sendRaw(device.deviceId, R"({"type":"ping","payload":{}})");
    stand.service().sendRaw(device.deviceId, R"({"type":"device_deleted"})");
    ASSERT_TRUE(waitFor([&] { return delegate->deauthorizations == 1; }));

    ASSERT_EQ(delegate->rules.size(), 1u);
    EXPECT_EQ(delegate->rules[0].toJson(), rules);
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> grants = {
        {"plain.example", std::nullopt},
        {"fraction.example", std::nullopt},
        {"seconds.example", 1700000000},
        {"text.example", std::nullopt}};
    EXPECT_EQ(delegate->grants, grants);
    EXPECT_EQ(delegate->denied, std::vector<std::string>{"no.example"});
    EXPECT_TRUE(delegate->allOnMainThread);
    EXPECT_EQ(logged("WebSocket received: rules_updated"), 1u);
    EXPECT_EQ(logged("WebSocket unknown message type: ping"), 1u);
    EXPECT_EQ(logged("Device deleted by parent — de-registering"), 1u);
}

TEST_F(WebSocketClientTest, MalformedFramesAreDroppedAsTheirKindRequires)
{
    connectAndWaitForStatus();
    struct Row {
        const char* name;
        const char* frame;
        std::vector<std::string> lines;  // logged before the marker's own line
    };
    const Row rows[] = {
        {"not JSON", "{not json", {}},
        {"not an object", R"(["rules_updated"])", {}},
        {"no type", R"({"payload":{}})", {}},
        {"type not text", R"({"type":7})", {}},
        {"grant without payload", R"({"type":"access_granted"})", {"WebSocket received: access_granted"}},
        {"grant with url not text", R"({"type":"access_granted","payload":{"url":5}})",
         {"WebSocket received: access_granted"}},
        {"denial with payload not an object", R"({"type":"access_denied","payload":["x"]})",
         {"WebSocket received: access_denied"}},
        {"rules without payload", R"({"type":"rules_updated"})",
         {"WebSocket received: rules_updated", "WebSocket rules_updated: missing payload"}},
        {"rules payload null", R"({"type":"rules_updated","payload":null})",
         {"WebSocket received: rules_updated", "WebSocket rules_updated: missing payload"}},
        {"rules without grants", R"({"type":"rules_updated","payload":{"mode":"allow","blockedSites":[],
            "blockedApps":[],"approvedSites":[],"approvedApps":[]}})",
         {"WebSocket received: rules_updated", "WebSocket rules_updated decode error: "}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        logSink->clear();
        sendThenSync(row.frame);
        auto lines = logSink->messages();
        ASSERT_EQ(lines.size(), row.lines.size() + 1);
        for (std::size_t i = 0; i < row.lines.size(); ++i)
            EXPECT_EQ(lines[i].substr(0, row.lines[i].size()), row.lines[i]);
    }
    EXPECT_TRUE(delegate->rules.empty());
    EXPECT_TRUE(delegate->grants.empty());
    EXPECT_TRUE(delegate->denied.empty());
    EXPECT_EQ(delegate->deauthorizations, 0);
}

TEST_F(WebSocketClientTest, SendsReachTheServiceAsTheirMessageTypes)
{
    connectAndWaitForStatus();
    client->sendActivity({{{"type", "app_launch"}, {"appName", "Game"}, {"bundleId", "org.game"}, {"ts", 1700000000}},
                          {{"type", "site_visit"}, {"url", "https://a.example/"}, {"ts", 1700000001}}});
    client->sendAccessRequest("https://blocked.example/", std::nullopt);
    client->sendAccessRequest("https://blocked.example/page", std::string("A page"));
    client->sendBlockedAppLaunch("org.game", "Game");
    ASSERT_TRUE(waitFor([&] { return count("blockedLaunches") == 1 && count("accessRequests") == 2; }));
    ASSERT_EQ(count("activity"), 1u);
    EXPECT_EQ(records()["activity"][0]["payload"]["events"].size(), 2u);
    EXPECT_EQ(records()["accessRequests"][0]["payload"], (nlohmann::json{{"url", "https://blocked.example/"}}));
    EXPECT_EQ(records()["accessRequests"][1]["payload"],
              (nlohmann::json{{"url", "https://blocked.example/page"}, {"title", "A page"}}));
    EXPECT_EQ(records()["blockedLaunches"][0]["payload"], (nlohmann::json{{"bundleId", "org.game"}, {"appName", "Game"}}));
}

TEST_F(WebSocketClientTest, RejectedUpgradeDeauthorizesOnceAndNeverReconnects)
{
    stand.service().deleteDevice(device.deviceId);
    client->connect();
    ASSERT_TRUE(waitFor([&] { return delegate->deauthorizations == 1; }));
    EXPECT_EQ(logged("WebSocket rejected with 401 — device deauthorized"), 1u);
    EXPECT_EQ(queue->pendingTimers(), 0u);
    queue->advance(10min);
    EXPECT_EQ(delegate->deauthorizations, 1);
    EXPECT_EQ(logged("WebSocket connecting to " + stand.wsURL()), 1u);
}

TEST_F(WebSocketClientTest, AnUpgradeRefusedWithAnyStatusBut401IsAnOrdinaryFailureThatReconnects)
{
    std::int64_t attempt = 0;
    for (const int status : {503, 429, 403, 500}) {
        SCOPED_TRACE(status);
        stand.service().scriptUpgradeStatus(status);
        if (attempt == 0)
            client->connect();
        else
            queue->advance(std::chrono::seconds(5 << (attempt - 1)));
        ++attempt;
        ASSERT_TRUE(waitFor([&] { return client->reconnectAttempt() == attempt && queue->pendingTimers() == 1; }));
    }
    EXPECT_EQ(delegate->deauthorizations, 0);
    stand.service().scriptUpgradeStatus(std::nullopt);
    queue->advance(40s);
    ASSERT_TRUE(waitFor([&] { return count("statuses") == 1; }));
    EXPECT_EQ(client->reconnectAttempt(), 0);
}

TEST_F(WebSocketClientTest, ReconnectsOn5102040Then60AndAnOpenResetsTheCounter)
{
    connectAndWaitForStatus();
    stand.stop();
    ASSERT_TRUE(waitFor([&] { return queue->pendingTimers() == 1; }));
    const char* expected[] = {"5.000000", "10.000000", "20.000000", "40.000000", "60.000000", "60.000000"};
    for (std::size_t attempt = 1; attempt <= 6; ++attempt) {
        SCOPED_TRACE(attempt);
        const std::string line = std::string("WebSocket reconnecting in ") + expected[attempt - 1] + "s (attempt " +
                                 std::to_string(attempt) + ")...";
        ASSERT_EQ(logged(line), 1u);
        const auto delay = std::chrono::milliseconds(static_cast<long>(std::stod(expected[attempt - 1]) * 1000));
        const auto connects = logged("WebSocket connecting to " + stand.wsURL());
        queue->advance(delay - 1ms);
        EXPECT_EQ(logged("WebSocket connecting to " + stand.wsURL()), connects);
        queue->advance(1ms);
        EXPECT_EQ(logged("WebSocket connecting to " + stand.wsURL()), connects + 1);
        ASSERT_TRUE(waitFor([&] {
            return queue->pendingTimers() == 1 && client->reconnectAttempt() == std::int64_t(attempt + 1);
        }));
    }
    EXPECT_EQ(logged("WebSocket reconnecting in 60.000000s (attempt 7)..."), 1u);
    stand.start(stand.port());
    queue->advance(60s);
    ASSERT_TRUE(waitFor([&] { return count("statuses") == 2; }));
    EXPECT_EQ(client->reconnectAttempt(), 0);

    stand.service().closeChannels(device.deviceId, 4000);
    ASSERT_TRUE(waitFor([&] { return logged("WebSocket closed: 4000") == 1 && queue->pendingTimers() == 1; }));
    EXPECT_EQ(logged("WebSocket reconnecting in 5.000000s (attempt 1)..."), 2u);
}

TEST_F(WebSocketClientTest, DisconnectWhileAReconnectIsPendingStopsForGood)
{
    connectAndWaitForStatus();
    stand.service().closeChannels(device.deviceId, 1000);
    ASSERT_TRUE(waitFor([&] { return queue->pendingTimers() == 1; }));
    client->disconnect();
    EXPECT_EQ(queue->pendingTimers(), 0u);
    EXPECT_EQ(logged("WebSocket disconnected"), 1u);
    queue->advance(10min);
    EXPECT_EQ(logged("WebSocket connecting to " + stand.wsURL()), 1u);

    client->connect();
    EXPECT_EQ(logged("WebSocket connecting to " + stand.wsURL()), 2u);
    queue->advance(10min);
    EXPECT_EQ(records()["channelOpens"].size(), 1u);
}

TEST_F(WebSocketClientTest, DisconnectWhileOpenLogsTheEndedReceiveButSchedulesNothing)
{
    connectAndWaitForStatus();
    client->disconnect();
    ASSERT_TRUE(waitFor([&] { return logSink->count("WebSocket receive error: cancelled") == 1; }));
    queue->runUntilIdle();
    EXPECT_EQ(queue->pendingTimers(), 0u);
    client->sendBlockedAppLaunch("org.game", "Game");
    EXPECT_EQ(count("blockedLaunches"), 0u);
}

}  // namespace
}  // namespace tessary
