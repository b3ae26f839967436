#include <gtest/gtest.h>

#include "agent/service/Outbox.h"
#include "shared/SharedDefaults.h"
#include "tests/unit/core/MonitoringFixture.h"

namespace tessary {
namespace {

using testing::MonitoringFixture;

class BrowserEventIntakeTest : public MonitoringFixture {
protected:
    void SetUp() override
    {
        pair();
        delegate = launch();
        sentBefore = sent().size();
    }

    void enqueue(const std::string& event) { ASSERT_TRUE(browserStore()->appendEvent(event)); }

    // Wakes the agent as a browser component does, and returns what it then sent.
    std::vector<nlohmann::json> wakeAndCollect()
    {
        fake.notificationListener->post();
        fake.mainQueue->runUntilIdle();
        const auto all = sent();
        return {all.begin() + static_cast<std::ptrdiff_t>(sentBefore), all.end()};
    }

    std::shared_ptr<AppDelegate> delegate;
    std::size_t sentBefore = 0;
};

TEST_F(BrowserEventIntakeTest, VisitsAndRequestsAreSentInQueueOrderOneMessageEach)
{
    enqueue(R"({"type":"url_visit","url":"https://a.example/1","ts":1700000001})");
    enqueue(R"({"type":"url_visit","url":"https://b.example/2","ts":1700000002})");
    enqueue(R"({"type":"access_request","url":"https://games.example/","title":"Games","ts":5})");

    const auto messages = wakeAndCollect();
    ASSERT_EQ(messages.size(), 3U);
    EXPECT_EQ(messages[0], nlohmann::json::parse(R"({"type":"activity","payload":{"events":[
                               {"type":"site_visit","url":"https://a.example/1","ts":1700000001}]}})"));
    EXPECT_EQ(messages[1]["payload"]["events"][0]["url"], "https://b.example/2");
    EXPECT_EQ(messages[2], nlohmann::json::parse(R"({"type":"access_request",
                               "payload":{"url":"https://games.example/","title":"Games"}})"));
    EXPECT_TRUE(fake.log->contains("Safari url_visit: https://a.example/1"));
    EXPECT_TRUE(fake.log->contains("Safari access_request: https://games.example/"));
    EXPECT_TRUE(browserStore()->takeEvents().value().empty());
    EXPECT_TRUE(wakeAndCollect().size() == 3U) << "a second wake-up sends nothing again";
}

TEST_F(BrowserEventIntakeTest, AnEventKeptByAnAgentKilledBeforeItLeftTheQueueIsNotSentAgain)
{
    enqueue(R"({"type":"url_visit","url":"https://kept.example/","ts":1})");
    enqueue(R"({"type":"url_visit","url":"https://next.example/","ts":2})");
    {
        // The agent before this one kept the first event in the outbox, then died before the queue
        // let it go.
        const Logger logger(fake.log, "app.brenmoor.tessary", "app");
        Outbox box(fake.paths.dataHome / "app.brenmoor.tessary" / "outbox.sqlite3", fake.clock, logger,
                   [](const std::string&) {});
        SharedDefaults queue(SharedStoreFormat::storePath(fake.paths), fake.clock, logger, [](const std::string&) {});
        struct Killed {};
        EXPECT_THROW(queue.drainEventQueue([&](const nlohmann::json& event, const std::string& receipt) {
            ASSERT_TRUE(box.add(event.dump(), receipt));
            throw Killed{};
        }),
                     Killed);
    }
    ASSERT_EQ(browserStore()->queuedEvents().value().size(), 2U);

    // The kept event leaves from the outbox as it was kept there; the queue's copy is not sent again.
    const auto messages = wakeAndCollect();
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0]["url"], "https://kept.example/");
    EXPECT_EQ(messages[1]["payload"]["events"][0]["url"], "https://next.example/");
    EXPECT_FALSE(fake.log->contains("Safari url_visit: https://kept.example/"));
    EXPECT_TRUE(browserStore()->queuedEvents().value().empty());
}

TEST_F(BrowserEventIntakeTest, AVisitWithoutAnIntegerTimeIsStampedNow)
{
    fake.clock->set(std::chrono::system_clock::time_point(std::chrono::milliseconds(1'800'000'000'900)));
    enqueue(R"({"type":"url_visit","url":"https://a.example/"})");
    enqueue(R"({"type":"url_visit","url":"https://b.example/","ts":"1700000000"})");
    enqueue(R"({"type":"url_visit","url":"https://c.example/","ts":1.5})");
    enqueue(R"({"type":"url_visit","url":"https://d.example/","ts":1e300})");
    enqueue(R"({"type":"url_visit","url":"https://e.example/","ts":-3})");
    enqueue(R"({"type":"url_visit","url":"https://f.example/","ts":9007199254740993,"title":"ignored"})");

    const auto messages = wakeAndCollect();
    ASSERT_EQ(messages.size(), 6U);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(messages[i]["payload"]["events"][0]["ts"], 1'800'000'000) << i;
    EXPECT_EQ(messages[4]["payload"]["events"][0]["ts"], -3) << "an integer is passed on unchanged";
    EXPECT_EQ(messages[5]["payload"]["events"][0],
              nlohmann::json::parse(R"({"type":"site_visit","url":"https://f.example/","ts":9007199254740993})"))
        << "64-bit times stay exact";
}

TEST_F(BrowserEventIntakeTest, AnAccessRequestWithoutTitleIsSentWithoutOne)
{
    enqueue(R"({"type":"access_request","url":"https://games.example/"})");
    enqueue(R"({"type":"access_request","url":"https://video.example/","title":42})");
    const auto messages = wakeAndCollect();
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0]["payload"], nlohmann::json::parse(R"({"url":"https://games.example/"})"));
    EXPECT_EQ(messages[1]["payload"], nlohmann::json::parse(R"({"url":"https://video.example/"})"));
}

TEST_F(BrowserEventIntakeTest, EntriesWithoutAKnownTypeOrATextUrlAreDroppedSilently)
{
    for (const auto* event : {R"({})", R"({"type":"tab_closed","url":"https://a.example/"})", R"({"type":7})",
                              R"({"url":"https://a.example/"})", R"({"type":"url_visit"})",
                              R"({"type":"access_request","url":["https://a.example/"]})", R"([1,2])", R"("text")",
                              "not json"})
        enqueue(event);
    enqueue(R"({"type":"url_visit","url":"https://kept.example/","ts":1})");

    const auto messages = wakeAndCollect();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0]["payload"]["events"][0]["url"], "https://kept.example/");
    EXPECT_TRUE(browserStore()->takeEvents().value().empty());
}

TEST_F(BrowserEventIntakeTest, TheStoreExistsOnceMonitoringStartsWithoutWaitingForRules)
{
    // No rules reply yet, no poll yet: the browsers, which never create the store, can queue.
    EXPECT_EQ(fake.http->count(kRules), 1U);
    EXPECT_TRUE(std::filesystem::exists(SharedStoreFormat::storePath(fake.paths)));
}

TEST_F(BrowserEventIntakeTest, EventsQueuedWhileNotMonitoringWaitForTheNextRun)
{
    delegate->manualReset();
    enqueue(R"({"type":"url_visit","url":"https://a.example/","ts":1})");
    fake.notificationListener->post();
    fake.mainQueue->runUntilIdle();

    pair("token-2", "device-2");
    delegate->setupCompleted();
    fake.mainQueue->runUntilIdle();
    // Sent as the run starts, before any wake-up or poll.
    const auto messages = sent();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0]["payload"]["events"][0]["url"], "https://a.example/");
}

}  // namespace
}  // namespace tessary
