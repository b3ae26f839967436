#include <gtest/gtest.h>

#include "tests/support/MemoryLogSink.h"
#include "shared/BrowserMessageHandler.h"
#include "shared/SharedDefaults.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using nlohmann::json;
using testing::ManualClock;
using testing::TemporaryFolder;

class CountingPoster final : public NotificationPoster {
public:
    void post() override { ++posts; }
    int posts = 0;
};

class BrowserMessageHandlerTest : public ::testing::Test {
protected:
    BrowserMessageHandlerTest()
        : storeFile(SharedStoreFormat::storePath(folder.paths())),
          chrome(storeFile, poster, clock, {"missing type", std::nullopt}),
          safari(storeFile, poster, clock,
                 {"invalid message", Logger(log, "app.brenmoor.tessary.safari-extension", "handler")}),
          agent(storeFile, clock, Logger(agentLog, "app.brenmoor.tessary", "app"), [](const std::string&) {})
    {
    }

    // The agent creates the store on its first use; the browser components only use one that exists.
    void SetUp() override { EXPECT_TRUE(agent.drainEventQueue().empty()); }

    static json reply(const std::string& text)
    {
        auto parsed = json::parse(text, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << text;
        return parsed;
    }

    TemporaryFolder folder;
    std::filesystem::path storeFile;
    std::shared_ptr<CountingPoster> poster = std::make_shared<CountingPoster>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<MemoryLogSink> agentLog = std::make_shared<MemoryLogSink>();
    BrowserMessageHandler chrome;
    BrowserMessageHandler safari;
    SharedDefaults agent;
};

const json kDefaultRules = json::parse(SharedStoreFormat::kDefaultRules);

TEST_F(BrowserMessageHandlerTest, RepliesByType)
{
    struct Row {
        const char* name;
        json message;
        json chromeReply;
        json safariReply;
    };
    const json missingType{{"error", "missing type"}};
    const json invalidMessage{{"error", "invalid message"}};
    const json unknownType{{"error", "unknown type"}};
    const json ok{{"ok", true}};
    const Row rows[] = {
        {"no type", {{"url", "https://example.com"}}, missingType, invalidMessage},
        {"numeric type", {{"type", 42}}, missingType, invalidMessage},
        {"array instead of object", json::array({"get_rules"}), missingType, invalidMessage},
        {"get_rules without stored rules", {{"type", "get_rules"}}, {{"rules", kDefaultRules}}, {{"rules", kDefaultRules}}},
        {"url_visit", {{"type", "url_visit"}, {"url", "https://example.com"}}, ok, ok},
        {"url_visit without url", {{"type", "url_visit"}}, ok, ok},
        {"access_request", {{"type", "access_request"}, {"url", "https://example.com"}}, ok, ok},
        {"letter case differs", {{"type", "Get_Rules"}}, unknownType, unknownType},
        {"unknown type", {{"type", "ping"}}, unknownType, unknownType},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(reply(chrome.answer(row.message)), row.chromeReply) << row.name;
        EXPECT_EQ(reply(safari.answer(row.message)), row.safariReply) << row.name;
    }
}

TEST_F(BrowserMessageHandlerTest, StoredRulesArePassedOnCompactAndUnchanged)
{
    const std::string defaultReply = std::string(R"({"rules":)") + SharedStoreFormat::kDefaultRules + "}";
    // Large rules are read in pieces: these span many of them, with spaces and characters cut at
    // their edges.
    std::string manySites = R"({"blockedSites":[)";
    std::string manySitesSpaced = "{ \"blockedSites\" : [\n";
    for (int i = 0; i < 3000; ++i) {
        const auto site = "\"caf\xc3\xa9-" + std::to_string(i) + ".example\"";
        manySites += (i > 0 ? "," : "") + site;
        manySitesSpaced += (i > 0 ? " ,\n  " : "  ") + site;
    }
    manySites += "]}";
    manySitesSpaced += "\n] }\n";
    struct Row {
        const char* name;
        std::string stored;
        std::string expectedReply;
    };
    const Row rows[] = {
        {"rules object", R"({"mode":"deny","blockedSites":["a.com"],"grants":[{"url":"b.com","expiry":17}]})",
         R"({"rules":{"mode":"deny","blockedSites":["a.com"],"grants":[{"url":"b.com","expiry":17}]}})"},
        {"any JSON value", R"([1, 2.50, "x"])", R"({"rules":[1,2.50,"x"]})"},
        {"whitespace dropped", " {\n \"mode\" : \"allow\"\t} ", R"({"rules":{"mode":"allow"}})"},
        {"unparsable", R"({"mode":)", defaultReply},
        {"not UTF-8", "\"\xff\"", defaultReply},
        {"empty", "", defaultReply},
        {"large and compact", manySites, R"({"rules":)" + manySites + "}"},
        {"large with whitespace", manySitesSpaced, R"({"rules":)" + manySites + "}"},
        {"large, then cut short", manySites.substr(0, manySites.size() - 1), defaultReply},
        {"large, then a second value", manySites + " {}", defaultReply},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(agent.setRules(row.stored)) << row.name;
        EXPECT_EQ(chrome.answer({{"type", "get_rules"}}), row.expectedReply) << row.name;
    }
    EXPECT_TRUE(agentLog->records().empty());
}

TEST_F(BrowserMessageHandlerTest, VisitTimestampIsKeptOnlyWhenIntegral)
{
    clock->set(std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'123'900)));
    const std::int64_t now = 1'700'000'123;
    struct Row {
        const char* name;
        std::optional<json> timestamp;
        std::int64_t expectedTs;
    };
    const Row rows[] = {
        {"integer kept unchanged", 1'699'999'999'123, 1'699'999'999'123},
        {"negative integer", -5, -5},
        {"float with integral value", 42.0, 42},
        {"fraction", 42.5, now},
        {"string", "42", now},
        {"null", json(nullptr), now},
        {"unsigned beyond 64-bit signed", 18'000'000'000'000'000'000ULL, now},
        {"float beyond 64 bits", 1e19, now},
        {"missing", std::nullopt, now},
    };
    for (const auto& row : rows) {
        json message{{"type", "url_visit"}, {"url", "https://example.com/a"}};
        if (row.timestamp)
            message["timestamp"] = *row.timestamp;
        EXPECT_EQ(chrome.answer(message), R"({"ok":true})");
        const auto events = agent.drainEventQueue();
        ASSERT_EQ(events.size(), 1U) << row.name;
        EXPECT_EQ(events[0], (json{{"type", "url_visit"}, {"url", "https://example.com/a"}, {"ts", row.expectedTs}}))
            << row.name;
    }
}

TEST_F(BrowserMessageHandlerTest, AccessRequestCarriesTitleOrEmptyTextAndNoTs)
{
    chrome.answer({{"type", "access_request"}, {"url", "https://a.com"}, {"title", "Page A"}});
    chrome.answer({{"type", "access_request"}, {"url", "https://b.com"}});
    chrome.answer({{"type", "access_request"}, {"url", "https://c.com"}, {"title", 7}, {"timestamp", 3}});
    EXPECT_EQ(agent.drainEventQueue(),
              (std::vector<json>{{{"type", "access_request"}, {"url", "https://a.com"}, {"title", "Page A"}},
                                 {{"type", "access_request"}, {"url", "https://b.com"}, {"title", ""}},
                                 {{"type", "access_request"}, {"url", "https://c.com"}, {"title", ""}}}));
}

TEST_F(BrowserMessageHandlerTest, EventsWithoutUsableUrlAreAcknowledgedAndDropped)
{
    for (const auto& message : {json{{"type", "url_visit"}}, json{{"type", "url_visit"}, {"url", 5}},
                                json{{"type", "access_request"}, {"url", nullptr}}})
        EXPECT_EQ(chrome.answer(message), R"({"ok":true})");
    EXPECT_TRUE(agent.drainEventQueue().empty());
    EXPECT_EQ(poster->posts, 0);
}

TEST_F(BrowserMessageHandlerTest, EachStoredEventWakesTheAgentOnce)
{
    chrome.answer({{"type", "url_visit"}, {"url", "https://a.com"}});
    safari.answer({{"type", "access_request"}, {"url", "https://b.com"}});
    EXPECT_EQ(poster->posts, 2);
    EXPECT_EQ(agent.drainEventQueue().size(), 2U);
}

// The browser components never create the store and never remove what stands in its place.
TEST_F(BrowserMessageHandlerTest, AMissingOrUnusableStoreGivesDefaultRulesAndDropsEventsWithSuccess)
{
    struct Row {
        const char* name;
        bool folderInTheWay;
    };
    for (const auto& row : {Row{"missing: left to the agent to create", false},
                            Row{"a folder where the file should be", true}}) {
        SCOPED_TRACE(row.name);
        log->clear();
        std::filesystem::remove_all(storeFile.parent_path());
        if (row.folderInTheWay)
            std::filesystem::create_directories(storeFile);
        for (auto* handler : {&chrome, &safari}) {
            EXPECT_EQ(reply(handler->answer({{"type", "get_rules"}})), (json{{"rules", kDefaultRules}}));
            EXPECT_EQ(reply(handler->answer({{"type", "url_visit"}, {"url", "https://a.com"}})), (json{{"ok", true}}));
            EXPECT_EQ(reply(handler->answer({{"type", "access_request"}, {"url", "https://b.com"}})), (json{{"ok", true}}));
        }
        EXPECT_TRUE(log->contains("Failed to open app group UserDefaults"));
        EXPECT_EQ(poster->posts, 0);
        EXPECT_EQ(std::filesystem::exists(storeFile.parent_path()), row.folderInTheWay);
        EXPECT_EQ(std::filesystem::is_directory(storeFile), row.folderInTheWay);
    }
}

}  // namespace
}  // namespace tessary
