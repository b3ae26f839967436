#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <dlfcn.h>
#include <mutex>

#include <nlohmann/json.hpp>

#include "tests/support/MemoryLogSink.h"
#include "safari-extension/WebExtensionEntry.h"
#include "shared/SharedDefaults.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/EnvironmentOverride.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using nlohmann::json;
using testing::TemporaryFolder;

struct CapturedLine {
    int level;
    std::string subsystem;
    std::string category;
    std::string message;
};

class WebExtensionPluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        environment.emplace_back("HOME", paths.home.c_str());
        environment.emplace_back("XDG_DATA_HOME", paths.dataHome.c_str());
        environment.emplace_back("XDG_RUNTIME_DIR", paths.runtimeDir.c_str());
        plugin = ::dlopen(TESSARY_WEB_EXTENSION_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin, nullptr) << ::dlerror();
        handle = reinterpret_cast<decltype(handle)>(::dlsym(plugin, "tessary_web_extension_handle_message"));
        freeReply = reinterpret_cast<decltype(freeReply)>(::dlsym(plugin, "tessary_web_extension_free_reply"));
        setLogHandler =
            reinterpret_cast<decltype(setLogHandler)>(::dlsym(plugin, "tessary_web_extension_set_log_handler"));
        ASSERT_TRUE(handle != nullptr && freeReply != nullptr && setLogHandler != nullptr);
        setLogHandler(&WebExtensionPluginTest::capture, this);
    }

    void TearDown() override
    {
        if (setLogHandler != nullptr)
            setLogHandler(nullptr, nullptr);
        if (plugin != nullptr)
            ::dlclose(plugin);
    }

    static void capture(void* context, int level, const char* subsystem, const char* category, const char* message)
    {
        auto* self = static_cast<WebExtensionPluginTest*>(context);
        const std::lock_guard lock(self->mutex);
        self->lines.push_back({level, subsystem, category, message});
    }

    json request(const char* messageJson)
    {
        char* reply = handle(messageJson);
        EXPECT_NE(reply, nullptr);
        if (reply == nullptr)
            return nullptr;
        auto parsed = json::parse(reply, nullptr, false);
        freeReply(reply);
        return parsed;
    }

    std::vector<std::string> messages()
    {
        const std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& line : lines)
            out.push_back(line.message);
        return out;
    }

    TemporaryFolder folder;
    Paths paths = folder.paths();
    std::deque<testing::EnvironmentOverride> environment;
    void* plugin = nullptr;
    char* (*handle)(const char*) = nullptr;
    void (*freeReply)(char*) = nullptr;
    void (*setLogHandler)(TessaryLogHandler, void*) = nullptr;
    std::mutex mutex;
    std::vector<CapturedLine> lines;
};

TEST_F(WebExtensionPluginTest, UnusableMessagesAreInvalidAndLeaveNoTrace)
{
    struct Row {
        const char* name;
        const char* message;
    };
    const Row rows[] = {
        {"array instead of dictionary", R"(["get_rules"])"},
        {"numeric type", R"({"type":42})"},
        {"no type", R"({"url":"https://a.com"})"},
        {"not JSON", R"({"type":)"},
        {"no message", nullptr},
    };
    for (const auto& row : rows)
        EXPECT_EQ(request(row.message), (json{{"error", "invalid message"}})) << row.name;
    EXPECT_TRUE(messages().empty());
    EXPECT_FALSE(std::filesystem::exists(SharedStoreFormat::storePath(paths)));
}

TEST_F(WebExtensionPluginTest, QueueSizeLineGrowsByOneAndEventsReachTheAgent)
{
    auto log = std::make_shared<MemoryLogSink>();
    SharedDefaults agent(SharedStoreFormat::storePath(paths), std::make_shared<SystemClock>(),
                         Logger(log, "app.brenmoor.tessary", "app"), [](const std::string&) {});
    // The agent creates the store on its first use; the handler only uses a store that exists.
    EXPECT_TRUE(agent.drainEventQueue().empty());
    EXPECT_EQ(request(R"({"type":"url_visit","url":"https://a.com","timestamp":1700000000})"), (json{{"ok", true}}));
    EXPECT_EQ(request(R"({"type":"url_visit","url":"https://b.com","timestamp":1700000001})"), (json{{"ok", true}}));
    const std::vector<std::string> expected{"Received: url_visit", "Enqueued event, queue size: 1",
                                            "Received: url_visit", "Enqueued event, queue size: 2"};
    EXPECT_EQ(messages(), expected);
    {
        const std::lock_guard lock(mutex);
        EXPECT_EQ(lines[1].level, TESSARY_LOG_INFO);
        EXPECT_EQ(lines[1].subsystem, "app.brenmoor.tessary.safari-extension");
        EXPECT_EQ(lines[1].category, "handler");
    }

    EXPECT_EQ(agent.drainEventQueue(),
              (std::vector<json>{{{"type", "url_visit"}, {"url", "https://a.com"}, {"ts", 1700000000}},
                                 {{"type", "url_visit"}, {"url", "https://b.com"}, {"ts", 1700000001}}}));
}

TEST_F(WebExtensionPluginTest, UnknownTypeIsLoggedAsAnErrorAndRulesFallBackToDefaults)
{
    EXPECT_EQ(request(R"({"type":"Get_Rules"})"), (json{{"error", "unknown type"}}));
    EXPECT_EQ(messages(), (std::vector<std::string>{"Received: Get_Rules", "Unknown message type: Get_Rules"}));
    EXPECT_EQ(lines.back().level, TESSARY_LOG_ERROR);
    EXPECT_EQ(request(R"({"type":"get_rules"})"), (json{{"rules", json::parse(SharedStoreFormat::kDefaultRules)}}));
}

}  // namespace
}  // namespace tessary
