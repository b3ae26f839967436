#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "tests/support/MemoryLogSink.h"
#include "platform/linux/DatagramNotificationListener.h"
#include "shared/SharedDefaults.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/NativeFrames.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using testing::ManualMainQueue;
using testing::TemporaryFolder;

std::string framed(std::string_view body, std::optional<std::uint32_t> declaredLength = std::nullopt)
{
    return testing::NativeFrames::framed(body, declaredLength);
}

// Every frame of the output, in order, checking that it holds whole frames and nothing else.
std::vector<json> unframedAll(const std::string& output)
{
    const auto bodies = testing::NativeFrames::bodies(output);
    EXPECT_TRUE(bodies.has_value()) << "a partial frame";
    std::vector<json> replies;
    for (const auto& body : bodies.value_or(std::vector<std::string>()))
        replies.push_back(json::parse(body, nullptr, false));
    return replies;
}

// The reply's JSON, checking that stdout holds exactly one frame and nothing else.
std::optional<json> unframed(const std::string& output)
{
    auto replies = unframedAll(output);
    EXPECT_EQ(replies.size(), 1U) << "exactly one frame";
    if (replies.empty())
        return std::nullopt;
    return replies.front();
}

class ChromeHostProcessTest : public ::testing::Test {
protected:
    // A host that stops reading makes our write of the rest fail instead of killing the test.
    static void SetUpTestSuite() { previousSigpipe = std::signal(SIGPIPE, SIG_IGN); }
    static void TearDownTestSuite() { std::signal(SIGPIPE, previousSigpipe); }
    // The agent creates the store on its first use; the host only uses a store that exists.
    void SetUp() override { EXPECT_TRUE(agent.drainEventQueue().empty()); }

    std::pair<int, std::string> runHost(const std::string& input,
                                        const std::map<std::string, std::string>& extraEnvironment = {}) const
    {
        auto all = environment;
        all.insert(extraEnvironment.begin(), extraEnvironment.end());
        return ChildProcess::run(hostCommand, all, input);
    }

    std::optional<json> exchange(const json& message) const
    {
        const auto [status, output] = runHost(framed(message.dump()));
        EXPECT_EQ(status, 0);
        return unframed(output);
    }

    static inline void (*previousSigpipe)(int) = SIG_DFL;
    std::vector<std::string> hostCommand{TESSARY_CHROME_HOST_PATH,
                                         "chrome-extension://kfpbnmcjdeoahlgikfpbnmcjdeoahlgi/"};
    TemporaryFolder folder;
    Paths paths = folder.paths();
    std::map<std::string, std::string> environment{{"HOME", paths.home.string()},
                                                   {"XDG_DATA_HOME", paths.dataHome.string()},
                                                   {"XDG_CONFIG_HOME", paths.configHome.string()},
                                                   {"XDG_RUNTIME_DIR", paths.runtimeDir.string()}};
    std::filesystem::path storeFile = SharedStoreFormat::storePath(paths);
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    SharedDefaults agent{storeFile, std::make_shared<SystemClock>(), Logger(log, "app.brenmoor.tessary", "app"),
                         [](const std::string&) {}};
};

TEST_F(ChromeHostProcessTest, FramingFaultsEndTheRunWithoutOutput)
{
    struct Row {
        const char* name;
        std::string input;
    };
    const Row rows[] = {
        {"empty input", ""},
        {"short length prefix", std::string("\x05\x00", 2)},
        {"length of 0", framed("", 0)},
        {"length of 2^32-1 with little data", framed("{}", 0xFFFFFFFFU)},
        {"short body", framed(R"({"type":"get_rules"})", 40)},
        {"invalid JSON", framed(R"({"type":)")},
        {"not UTF-8", framed("{\"type\":\"get_rules\",\"x\":\"\xff\"}")},
        {"NUL byte then more", framed(std::string(R"({"type":"get_rules"})") + std::string(1, '\0') + "trailing")},
        {"array", framed(R"(["get_rules"])")},
        {"string", framed(R"("get_rules")")},
        {"number", framed("42")},
    };
    for (const auto& row : rows) {
        const auto [status, output] = runHost(row.input);
        EXPECT_EQ(status, 0) << row.name;
        EXPECT_EQ(output, "") << row.name;
    }
}

TEST_F(ChromeHostProcessTest, MessagesOfTheLimitsAreAcceptedAndTheNextByteRejected)
{
    const std::string head = R"({"type":"url_visit","url":")";
    const std::string tail = R"("})";
    const auto body = head + std::string(999'999 - head.size() - tail.size(), 'a') + tail;
    ASSERT_EQ(body.size(), 999'999U);

    const auto [status, output] = runHost(framed(body));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(unframed(output), (json{{"ok", true}}));
    EXPECT_EQ(agent.drainEventQueue().size(), 1U);

    const auto tooLong = head + std::string(1'000'000 - head.size() - tail.size(), 'a') + tail;
    const auto [rejectedStatus, rejectedOutput] = runHost(framed(tooLong));
    EXPECT_EQ(rejectedStatus, 0);
    EXPECT_EQ(rejectedOutput, "");
    EXPECT_TRUE(agent.drainEventQueue().empty());

    const auto [shortestStatus, shortestOutput] = runHost(framed("{}"));
    EXPECT_EQ(shortestStatus, 0);
    EXPECT_EQ(unframed(shortestOutput), (json{{"error", "missing type"}}));
}

TEST_F(ChromeHostProcessTest, EachReplyType)
{
    const json defaultRules = json::parse(SharedStoreFormat::kDefaultRules);
    struct Row {
        const char* name;
        json message;
        json reply;
    };
    const Row rows[] = {
        {"get_rules with nothing stored", {{"type", "get_rules"}}, {{"rules", defaultRules}}},
        {"url_visit", {{"type", "url_visit"}, {"url", "https://a.com"}}, {{"ok", true}}},
        {"access_request", {{"type", "access_request"}, {"url", "https://b.com"}}, {{"ok", true}}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(exchange(row.message), row.reply) << row.name;

    const json rules{{"mode", "deny"}, {"blockedSites", {"a.com"}}, {"blockedApps", json::array()},
                     {"approvedSites", json::array()}, {"approvedApps", json::array()},
                     {"grants", {{{"url", "b.com"}, {"expiry", 99}}}}};
    ASSERT_TRUE(agent.setRules(rules.dump()));
    EXPECT_EQ(exchange({{"type", "get_rules"}}), (json{{"rules", rules}}));
}

TEST_F(ChromeHostProcessTest, OnlyTheFirstMessageIsAnswered)
{
    const auto [status, output] =
        runHost(framed(R"({"type":"url_visit","url":"https://a.com"})") + framed(R"({"type":"get_rules"})"));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(unframed(output), (json{{"ok", true}}));
}

// What the handler stores is BrowserMessageHandlerTest's; here, the host's own clock stamps a visit.
TEST_F(ChromeHostProcessTest, EventsAreStoredWithTheirTimeOrStampedNowByTheHost)
{
    const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    exchange({{"type", "url_visit"}, {"url", "https://a.com/1"}, {"timestamp", 1'700'000'000'123}});
    exchange({{"type", "url_visit"}, {"url", "https://a.com/2"}});
    exchange({{"type", "access_request"}, {"url", "https://c.com"}});
    const auto after = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();

    const auto events = agent.drainEventQueue();
    ASSERT_EQ(events.size(), 3U);
    EXPECT_EQ(events[0], (json{{"type", "url_visit"}, {"url", "https://a.com/1"}, {"ts", 1'700'000'000'123}}));
    const auto stamped = events[1].at("ts").get<std::int64_t>();
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
    EXPECT_EQ(events[1].size(), 3U);
    EXPECT_EQ(events[2], (json{{"type", "access_request"}, {"url", "https://c.com"}, {"title", ""}}));
}

TEST_F(ChromeHostProcessTest, CorruptStoreGivesDefaultRulesAndSuccessAndIsLeftToTheAgent)
{
    const std::string garbage(16384, 'g');
    TemporaryFolder::writeFile(storeFile, garbage);

    EXPECT_EQ(exchange({{"type", "get_rules"}}), (json{{"rules", json::parse(SharedStoreFormat::kDefaultRules)}}));
    EXPECT_EQ(exchange({{"type", "url_visit"}, {"url", "https://a.com"}}), (json{{"ok", true}}));
    EXPECT_EQ(TemporaryFolder::readFile(storeFile), garbage) << "the host neither repairs nor replaces it";

    // The agent moves it aside, keeping it, and starts a fresh store the host can use again.
    EXPECT_TRUE(agent.drainEventQueue().empty());
    ASSERT_EQ(log->messages().size(), 1U);
    EXPECT_EQ(log->messages()[0].rfind("Shared store was damaged — moved it aside to ", 0), 0U) << log->messages()[0];
    const auto aside = log->messages()[0].substr(std::string("Shared store was damaged — moved it aside to ").size());
    EXPECT_EQ(TemporaryFolder::readFile(aside.substr(0, aside.find(" and rebuilt it"))), garbage);
    EXPECT_EQ(exchange({{"type", "url_visit"}, {"url", "https://b.com"}}), (json{{"ok", true}}));
    const auto events = agent.drainEventQueue();
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0]["url"], "https://b.com");
}

TEST_F(ChromeHostProcessTest, ConcurrentHostsAndADrainingAgentDeliverEveryEventOnceInOrder)
{
    constexpr int kProducers = 16;
    constexpr int kMessagesEach = 100;
    std::atomic<int> running{kProducers};
    std::atomic<int> failedRuns{0};
    std::vector<std::thread> producers;
    for (int producer = 0; producer < kProducers; ++producer) {
        producers.emplace_back([&, producer] {
            for (int n = 0; n < kMessagesEach; ++n) {
                const json message{{"type", "url_visit"},
                                   {"url", "https://p" + std::to_string(producer) + ".example/" + std::to_string(n)},
                                   {"timestamp", producer * 1000 + n}};
                // In a sanitizer build, a leak check per run would dominate 1600 runs; the other
                // tests check the host for leaks.
                const auto [status, output] = runHost(framed(message.dump()), {{"ASAN_OPTIONS", "detect_leaks=0"}});
                if (status != 0 || unframed(output) != json{{"ok", true}})
                    ++failedRuns;
            }
            --running;
        });
    }
    // The agent drains as it does when running: on each wake-up from a host, on the main queue.
    std::vector<json> received;
    int wakeUps = 0;
    auto mainQueue = std::make_shared<ManualMainQueue>();
    DatagramNotificationListener listener(SharedStoreFormat::notificationSocketPath(paths), mainQueue);
    ASSERT_FALSE(listener.start([&] {
        ++wakeUps;
        auto drained = agent.drainEventQueue();
        received.insert(received.end(), drained.begin(), drained.end());
    }));
    // 1,600 host processes: well within the suite's limit even under the sanitizers on a busy machine.
    EXPECT_TRUE(mainQueue->runUntil([&] { return running.load() == 0; }, std::chrono::seconds(240)));
    for (auto& thread : producers)
        thread.join();
    auto rest = agent.drainEventQueue();
    received.insert(received.end(), rest.begin(), rest.end());

    listener.stop();
    EXPECT_GT(wakeUps, 0);
    EXPECT_EQ(failedRuns.load(), 0);
    EXPECT_TRUE(log->messages().empty()) << log->messages().front();
    ASSERT_EQ(received.size(), std::size_t{kProducers * kMessagesEach});
    std::vector<int> nextExpected(kProducers, 0);
    for (const auto& event : received) {
        const auto ts = event.at("ts").get<int>();
        const int producer = ts / 1000;
        ASSERT_EQ(ts % 1000, nextExpected[static_cast<std::size_t>(producer)]) << "producer " << producer;
        ++nextExpected[static_cast<std::size_t>(producer)];
    }
}

// Firefox starts its host with the manifest's path and the extension's ID, and may keep it open for
// several messages.
class FirefoxHostProcessTest : public ChromeHostProcessTest {
protected:
    FirefoxHostProcessTest()
    {
        hostCommand = {TESSARY_FIREFOX_HOST_PATH, "/usr/lib/mozilla/native-messaging-hosts/app.brenmoor.tessary.json",
                       "web-extension@tessary.brenmoor.app"};
    }
};

TEST_F(FirefoxHostProcessTest, EachMessageGetsTheHandlersReplyInOrderUntilTheInputEnds)
{
    const json defaultRules = json::parse(SharedStoreFormat::kDefaultRules);
    const json ok{{"ok", true}};
    const json invalid{{"error", "invalid message"}};
    struct Row {
        const char* name;
        std::string input;
        std::vector<json> replies;
        std::size_t events;
    };
    const Row rows[] = {
        {"one message (sendNativeMessage)", framed(R"({"type":"get_rules"})"), {{{"rules", defaultRules}}}, 0},
        {"several on one input (connectNative)",
         framed(R"({"type":"url_visit","url":"https://a.com","timestamp":1700000000})") +
             framed(R"({"type":"get_rules"})") + framed(R"({"type":"ping"})") +
             framed(R"({"type":"access_request","url":"https://b.com","title":"B"})"),
         {ok, {{"rules", defaultRules}}, {{"error", "unknown type"}}, ok},
         2},
        {"not JSON", framed(R"({"type":)"), {invalid}, 0},
        {"no type", framed(R"({"url":"https://a.com"})"), {invalid}, 0},
        {"a NUL byte", framed(std::string(R"({"type":"get_rules"})") + std::string(1, '\0')), {invalid}, 0},
        {"an answer, then a short length prefix", framed(R"({"type":"url_visit","url":"https://a.com"})") +
                                                      std::string("\x05\x00", 2),
         {ok}, 1},
        {"a length of 0", framed("", 0), {}, 0},
        {"a length above the handler's limit", framed(std::string(1'000'000, ' ')), {}, 0},
        {"a short body after an answer", framed(R"({"type":"get_rules"})") + framed(R"({"type":"get_rules"})", 40),
         {{{"rules", defaultRules}}}, 0},
        {"empty input", "", {}, 0},
    };
    for (const auto& row : rows) {
        const auto [status, output] = runHost(row.input);
        EXPECT_EQ(status, 0) << row.name;
        EXPECT_EQ(unframedAll(output), row.replies) << row.name;
        EXPECT_EQ(agent.drainEventQueue().size(), row.events) << row.name;
    }
}

TEST_F(FirefoxHostProcessTest, RulesUpToFirefoxsLimitArePassedOnAndLargerOnesRefused)
{
    const auto rulesWith = [](int sites) {
        json names = json::array();
        for (int i = 0; i < sites; ++i)
            names.push_back("site-" + std::to_string(i) + ".example.com");
        return json{{"mode", "allow"}, {"blockedSites", names}, {"blockedApps", json::array()},
                    {"approvedSites", names}, {"approvedApps", json::array()}, {"grants", json::array()}};
    };
    struct Row {
        const char* name;
        json rules;
        json reply;
    };
    const json tenThousand = rulesWith(10'000);
    const Row rows[] = {
        {"ten thousand sites", tenThousand, {{"rules", tenThousand}}},
        {"a reply above 1 MiB", rulesWith(30'000), {{"error", "reply too large"}}},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(agent.setRules(row.rules.dump())) << row.name;
        const auto [status, output] = runHost(framed(R"({"type":"get_rules"})") + framed(R"({"type":"url_visit"})"));
        EXPECT_EQ(status, 0) << row.name;
        EXPECT_LE(output.size(), 4U + 1024U * 1024U + 4U + 11U) << row.name;
        EXPECT_EQ(unframedAll(output), (std::vector<json>{row.reply, {{"ok", true}}})) << row.name << ": the connection goes on";
    }
}

}  // namespace
}  // namespace tessary
