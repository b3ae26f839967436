#include <gtest/gtest.h>

#include <algorithm>
#include <sqlite3.h>
#include <memory>
#include <string>
#include <vector>

#include "agent/service/Outbox.h"
#include "agent/service/WebSocketClient.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/FakeWebSocketSession.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TemporaryFolder.h"

// The channel's outbox: real SQLite in a temporary folder, a fake connection whose writes the test
// finishes, and virtual time.

namespace tessary {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::FakeWebSocketConnection;
using testing::FakeWebSocketSession;
using testing::ManualClock;
using testing::ManualMainQueue;
using testing::TemporaryFolder;

class OutboxTest : public ::testing::Test {
protected:
    std::shared_ptr<Outbox> makeOutbox(std::size_t capacity = Outbox::kCapacity)
    {
        return std::make_shared<Outbox>(
            file, clock, Logger(log, "app.brenmoor.tessary", "app"),
            [this](const std::string& finding) { findings.push_back(finding); }, capacity);
    }

    // A client of a new monitoring run over the outbox, connecting at once.
    void startClient(std::shared_ptr<Outbox> box)
    {
        outbox = std::move(box);
        session = std::make_shared<FakeWebSocketSession>();
        client = std::make_shared<WebSocketClient>("wss://127.0.0.1/ws/device", "device-1", "token", session, queue,
                                                   log, outbox);
        client->connect();
    }

    // Opens the newest connection; its writes wait for the test when held.
    FakeWebSocketConnection& open(bool holdWrites = false)
    {
        auto& connection = *session->opened.back().connection;
        connection.holdWrites = holdWrites;
        session->lastObserver()->webSocketDidOpen();
        queue->runUntilIdle();
        return connection;
    }

    void fail()
    {
        session->lastObserver()->webSocketReceiveDidFail(Error{"connection reset"}, std::nullopt);
        queue->runUntilIdle();
    }

    void visit(int n)
    {
        client->sendActivity({json{{"type", "site_visit"}, {"url", "https://v" + std::to_string(n) + ".example/"},
                                   {"ts", 1'700'000'000 + n}}});
        queue->runUntilIdle();
    }

    static std::vector<std::string> urls(const std::vector<json>& sent)
    {
        std::vector<std::string> result;
        for (const auto& message : sent) {
            if (message["type"] == "activity")
                result.push_back(message["payload"]["events"][0]["url"]);
            else
                result.push_back(message["type"]);
        }
        return result;
    }

    static std::vector<std::string> expectedUrls(int from, int to)
    {
        std::vector<std::string> result;
        for (int n = from; n <= to; ++n)
            result.push_back("https://v" + std::to_string(n) + ".example/");
        return result;
    }

    TemporaryFolder folder;
    std::filesystem::path file = folder.path() / "data" / "app.brenmoor.tessary" / "outbox.sqlite3";
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::vector<std::string> findings;
    std::shared_ptr<Outbox> outbox;
    std::shared_ptr<FakeWebSocketSession> session;
    std::shared_ptr<WebSocketClient> client;
};

TEST_F(OutboxTest, WhatIsSentWhileDownFollowsTheStatusOldestFirstAndUnchanged)
{
    startClient(makeOutbox());
    visit(1);
    client->sendAccessRequest("https://blocked.example/", std::string("Blocked"));
    client->sendBlockedAppLaunch("org.example.Game", "Game");
    visit(2);
    EXPECT_EQ(outbox->size(), 4U);

    auto& connection = open();
    ASSERT_EQ(connection.sent.size(), 5U);
    EXPECT_EQ(connection.sent[0], (json{{"type", "status"}, {"payload", {{"online", true}}}}));
    EXPECT_EQ(connection.sent[1], (json{{"type", "activity"},
                                        {"payload", {{"events", {{{"type", "site_visit"},
                                                                  {"url", "https://v1.example/"},
                                                                  {"ts", 1'700'000'001}}}}}}}));
    EXPECT_EQ(connection.sent[2],
              (json{{"type", "access_request"}, {"payload", {{"url", "https://blocked.example/"}, {"title", "Blocked"}}}}));
    EXPECT_EQ(connection.sent[3],
              (json{{"type", "blocked_app_launch"}, {"payload", {{"bundleId", "org.example.Game"}, {"appName", "Game"}}}}));
    EXPECT_EQ(urls({connection.sent[4]}), expectedUrls(2, 2));
    EXPECT_EQ(outbox->size(), 0U) << "each written frame left the box";

    // Online, a message goes out at once and does not stay.
    visit(3);
    EXPECT_EQ(urls({connection.sent.back()}), expectedUrls(3, 3));
    EXPECT_EQ(outbox->size(), 0U);
}

TEST_F(OutboxTest, AMessageLeavesOnlyOnceItsFrameIsWrittenAndAnUnwrittenOneGoesOutAgainOnTheNextConnection)
{
    startClient(makeOutbox());
    for (int n = 1; n <= 5; ++n)
        visit(n);
    auto& first = open(true);
    ASSERT_EQ(urls(first.sent).size(), 6U);
    first.finishWrites(1);  // the status
    first.finishWrites(2);  // visits 1 and 2 written
    queue->runUntilIdle();
    first.finishWrites(1, Error{"Broken pipe"});  // visit 3 failed
    queue->runUntilIdle();
    EXPECT_EQ(outbox->size(), 3U);
    fail();  // visits 4 and 5 never finished: the connection died with them
    visit(6);

    queue->advance(5s);
    auto& second = open();
    EXPECT_EQ(urls(second.sent), (std::vector<std::string>{"status", "https://v3.example/", "https://v4.example/",
                                                           "https://v5.example/", "https://v6.example/"}));
    EXPECT_EQ(outbox->size(), 0U);
    // A late completion of the dead connection's write changes nothing now.
    first.finishWrites(2);
    queue->runUntilIdle();
    EXPECT_EQ(outbox->size(), 0U);
}

TEST_F(OutboxTest, ABacklogIsSentWithABoundedNumberOfFramesInFlight)
{
    startClient(makeOutbox());
    const int backlog = static_cast<int>(WebSocketClient::kFramesInFlight) * 3 + 7;
    for (int n = 1; n <= backlog; ++n)
        visit(n);
    auto& connection = open(true);
    EXPECT_EQ(connection.unwritten.size(), WebSocketClient::kFramesInFlight + 1) << "the status and one window";
    while (!connection.unwritten.empty()) {
        connection.finishWrites(connection.unwritten.size());
        queue->runUntilIdle();
        EXPECT_LE(connection.unwritten.size(), WebSocketClient::kFramesInFlight);
    }
    auto sent = urls(connection.sent);
    sent.erase(sent.begin());
    EXPECT_EQ(sent, expectedUrls(1, backlog));
    EXPECT_EQ(outbox->size(), 0U);
}

TEST_F(OutboxTest, TheBoxOutlivesTheRunAndTheAgentAndIsEmptiedOnlyByTheEndOfThePairing)
{
    startClient(makeOutbox());
    visit(1);
    visit(2);
    client->disconnect();
    client.reset();
    outbox.reset();

    // Another process: a new box over the same file.
    startClient(makeOutbox());
    EXPECT_EQ(outbox->size(), 2U);
    auto& connection = open();
    EXPECT_EQ(urls(connection.sent), (std::vector<std::string>{"status", "https://v1.example/", "https://v2.example/"}));

    fail();
    visit(3);
    outbox->clear();
    EXPECT_EQ(outbox->size(), 0U);
    queue->advance(5s);
    EXPECT_EQ(urls(open().sent), std::vector<std::string>{"status"});
}

TEST_F(OutboxTest, AFullBoxDropsItsOldestAHundredthAtATimeWithOneLine)
{
    startClient(makeOutbox(200));
    for (int n = 1; n <= 201; ++n)
        visit(n);
    EXPECT_EQ(outbox->size(), 199U);
    EXPECT_EQ(log->count("Outbox full — dropped the 2 oldest messages"), 1U);
    auto sent = urls(open().sent);
    sent.erase(sent.begin());
    EXPECT_EQ(sent, expectedUrls(3, 201));
}

TEST_F(OutboxTest, MessagesOlderThanAWeekAreDroppedWhenTheChannelOpens)
{
    startClient(makeOutbox());
    visit(1);
    clock->set(clock->now() + 24h * 6);
    visit(2);
    clock->set(clock->now() + 24h * 2);
    auto& connection = open();
    EXPECT_EQ(urls(connection.sent), (std::vector<std::string>{"status", "https://v2.example/"}));
    EXPECT_TRUE(log->contains("Outbox: dropped 1 messages older than 7 days"));
}

TEST_F(OutboxTest, ADamagedFileIsMovedAsideAndAFreshBoxServes)
{
    // A copy set aside earlier in the same second is kept beside the new one.
    TemporaryFolder::writeFile(file.string() + ".corrupt-1700000000", "earlier");
    TemporaryFolder::writeFile(file, std::string(5000, 'x'));
    startClient(makeOutbox());
    visit(1);
    EXPECT_EQ(outbox->size(), 1U);
    EXPECT_EQ(TemporaryFolder::readFile(file.string() + ".corrupt-1700000000"), "earlier");
    const auto aside = file.string() + ".corrupt-1700000000-2";
    EXPECT_EQ(TemporaryFolder::readFile(aside), std::string(5000, 'x'));
    EXPECT_TRUE(log->contains("Outbox was damaged — moved it aside to " + aside));
    EXPECT_EQ(urls(open().sent), (std::vector<std::string>{"status", "https://v1.example/"}));
}

TEST_F(OutboxTest, SchemaObjectsPlantedByAnotherProcessNeverSwallowAMessageAndAreTakenOut)
{
    struct Row {
        const char* name;
        const char* sql;
        const char* finding;
        // Messages in the file after the repair: one added while a view stood in the table's place
        // could not be kept, and went to the connection directly.
        std::size_t kept;
    };
    const Row rows[] = {
        {"a trigger that ignores every insert",
         "CREATE TRIGGER swallow BEFORE INSERT ON outbox BEGIN SELECT RAISE(IGNORE); END",
         "trigger swallow on outbox", 3},
        {"a trigger that empties the box after each insert",
         "CREATE TRIGGER empty AFTER INSERT ON outbox BEGIN DELETE FROM outbox; END", "trigger empty on outbox", 3},
        {"the table renamed and a view in its place",
         "ALTER TABLE outbox RENAME TO kept; CREATE VIEW outbox AS SELECT * FROM kept WHERE 0",
         "table kept, view outbox", 2},
        {"an index", "CREATE INDEX by_time ON outbox(queued_at)", "index by_time on outbox", 3},
        {"the messages renamed away behind a new empty outbox",
         "ALTER TABLE outbox RENAME TO kept; CREATE TABLE outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, "
         "queued_at INTEGER NOT NULL, message TEXT NOT NULL)",
         "table kept", 3},
        {"the outbox made again with a check that refuses every new message",
         "ALTER TABLE outbox RENAME TO old; CREATE TABLE outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, "
         "queued_at INTEGER NOT NULL, message TEXT NOT NULL, CHECK(id < 2)); INSERT INTO outbox SELECT * FROM old; "
         "DROP TABLE old",
         "table outbox (altered)", 2},
        {"the receipt's table made again so that it refuses every receipt",
         "DROP TABLE receipt; CREATE TABLE receipt(id INTEGER PRIMARY KEY, value TEXT NOT NULL, CHECK(0))",
         "table receipt (altered)", 3},
        {"a trigger named like SQLite's own indexes",
         "CREATE TRIGGER sqlite1autoindex1x BEFORE INSERT ON outbox BEGIN SELECT RAISE(IGNORE); END",
         "trigger sqlite1autoindex1x on outbox", 3},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(file.parent_path());
        findings.clear();
        startClient(makeOutbox());
        visit(++n);
        {
            sqlite3* child = nullptr;
            ASSERT_EQ(sqlite3_open(file.c_str(), &child), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(child, row.sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(child);
        }
        // Before the next look the planted object still sits there, and does nothing.
        visit(++n);
        outbox->lookForTampering();
        visit(++n);
        EXPECT_EQ(outbox->size(), row.kept) << ::testing::PrintToString(log->messages());
        ASSERT_EQ(findings.size(), 1U);
        EXPECT_TRUE(findings[0].starts_with("the outbox holds schema objects the agent did not create ("))
            << findings[0];
        EXPECT_NE(findings[0].find(row.finding), std::string::npos) << findings[0];
        outbox->lookForTampering();
        EXPECT_EQ(findings.size(), 1U) << "found once";

        auto sent = urls(open().sent);
        std::erase(sent, "status");
        std::ranges::sort(sent);
        EXPECT_EQ(sent, expectedUrls(n - 2, n)) << "every message sent once";
        client->disconnect();
        client.reset();
        outbox.reset();
    }
}

TEST_F(OutboxTest, AReceiptIsKeptInTheSameWriteAsItsMessageOrNotAtAll)
{
    auto box = makeOutbox();
    ASSERT_TRUE(box->add("one", "receipt 1"));
    EXPECT_TRUE(box->keptLast("receipt 1"));
    ASSERT_TRUE(box->add("two"));
    EXPECT_TRUE(box->keptLast("receipt 1")) << "a message without a receipt leaves the last one";
    {
        sqlite3* child = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &child), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(child,
                               "DROP TABLE receipt; CREATE TABLE receipt(id INTEGER PRIMARY KEY, value TEXT, CHECK(0))",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(child);
    }
    EXPECT_FALSE(box->add("three", "receipt 3"));
    EXPECT_EQ(box->size(), 2U);
    EXPECT_FALSE(box->keptLast("receipt 3"));
    box->lookForTampering();
    ASSERT_TRUE(box->add("three", "receipt 3"));
    EXPECT_TRUE(box->keptLast("receipt 3"));
    EXPECT_FALSE(box->keptLast("receipt 1"));
    EXPECT_EQ(box->size(), 3U);
}

TEST_F(OutboxTest, WithoutAUsableBoxMessagesStillGoOutWhileOnline)
{
    // A folder where the file should be: nothing can be kept.
    std::filesystem::create_directories(file);
    startClient(makeOutbox());
    visit(1);
    auto& connection = open();
    visit(2);
    visit(3);
    // As without an outbox: given to the connection, which sends it if it opens.
    EXPECT_EQ(urls(connection.sent), (std::vector<std::string>{"https://v1.example/", "status", "https://v2.example/",
                                                               "https://v3.example/"}));
    const auto messages = log->messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& line) { return line.starts_with("Outbox unavailable: "); }),
              1)
        << "one line for the failure, however many messages";
}

}  // namespace
}  // namespace tessary
