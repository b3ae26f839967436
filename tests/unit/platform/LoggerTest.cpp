#include <gtest/gtest.h>

#include "platform/Logger.h"
#include "platform/MemoryLogSink.h"

namespace tessary {
namespace {

TEST(LoggerTest, PlaceholdersRenderAsTheSystemLogShowsThem)
{
    struct Row {
        const char* name;
        std::string rendered;
        std::string expected;
    };
    const Row rows[] = {
        {"text", Logger::render("WebSocket received: %s", {"rules_updated"}), "WebSocket received: rules_updated"},
        {"count", Logger::render("WebSocket closed: %ld", {1006}), "WebSocket closed: 1006"},
        {"negative count", Logger::render("status %ld", {std::int64_t{-1}}), "status -1"},
        {"seconds with six decimals", Logger::render("reconnecting in %fs (attempt %ld)...", {5.0, 1}),
         "reconnecting in 5.000000s (attempt 1)..."},
        {"booleans", Logger::render("isSetUp: %{bool}d, hasToken: %{bool}d", {true, false}),
         "isSetUp: true, hasToken: false"},
        {"public annotation", Logger::render("%{public}s and %{public}ld", {"a", 2}), "a and 2"},
        {"error", Logger::render("Failed: %@", {Error{"offline"}}), "Failed: offline"},
        {"percent sign", Logger::render("100%% done", {}), "100% done"},
        {"missing argument", Logger::render("a %s b", {}), "a  b"},
        {"text that looks like a format", Logger::render("%s", {"%s %ld"}), "%s %ld"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.rendered, row.expected) << row.name;
}

TEST(LoggerTest, RecordsCarrySubsystemCategoryAndLevel)
{
    auto sink = std::make_shared<MemoryLogSink>();
    Logger logger(sink, "app.brenmoor.tessary", "api");
    logger.error("x %ld", {3});
    logger.debug("y");
    const auto records = sink->records();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].subsystem, "app.brenmoor.tessary");
    EXPECT_EQ(records[0].category, "api");
    EXPECT_EQ(records[0].message, "x 3");
    EXPECT_EQ(records[1].level, LogLevel::debug);
}

}  // namespace
}  // namespace tessary
