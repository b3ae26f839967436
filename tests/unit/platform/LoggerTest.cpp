#include <clocale>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/Logger.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"

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

// The agent runs in the user's locale; a German one writes printf's %f with a comma.
TEST(LoggerTest, SecondsAreWrittenWithADotInACommaLocale)
{
    testing::TemporaryFolder folder;
    const auto command = "localedef -i de_DE -f UTF-8 " + (folder.path() / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        TESSARY_SKIP_WITHOUT("no German locale sources to build a comma locale from");
    ::setenv("LOCPATH", folder.path().c_str(), 1);
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    const bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    char printed[32];
    std::snprintf(printed, sizeof printed, "%f", 0.5);
    const auto rendered = Logger::render("reconnecting in %fs", {2.5});
    std::setlocale(LC_NUMERIC, previous.c_str());
    ::unsetenv("LOCPATH");
    ASSERT_TRUE(switched);
    ASSERT_STREQ(printed, "0,500000") << "the locale writes numbers with a comma";
    EXPECT_EQ(rendered, "reconnecting in 2.500000s");
}

TEST(LoggerTest, LinesASinkDoesNotKeepAreNeverRendered)
{
    class ErrorsOnly final : public LogSink {
    public:
        void write(const LogRecord& record) override { messages.push_back(record.message); }
        bool keeps(LogLevel level) const override { return level == LogLevel::error; }
        std::vector<std::string> messages;
    };
    auto sink = std::make_shared<ErrorsOnly>();
    Logger logger(sink, "app.brenmoor.tessary", "api");
    logger.info("x");
    logger.error("y");
    EXPECT_EQ(sink->messages, std::vector<std::string>{"y"});
    EXPECT_FALSE(logger.keeps(LogLevel::info));
    EXPECT_TRUE(logger.keeps(LogLevel::error));
    EXPECT_FALSE(Logger(nullptr, "a", "b").keeps(LogLevel::error)) << "no sink keeps nothing";
}

}  // namespace
}  // namespace tessary
