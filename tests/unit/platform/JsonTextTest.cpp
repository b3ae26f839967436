#include <gtest/gtest.h>

#include "platform/JsonText.h"

namespace tessary {
namespace {

std::string nested(std::size_t depth, const std::string& open = "[", const std::string& close = "]",
                   const std::string& inner = "")
{
    std::string text;
    for (std::size_t i = 0; i < depth; ++i)
        text += open;
    text += inner;
    for (std::size_t i = 0; i < depth; ++i)
        text += close;
    return text;
}

TEST(JsonTextTest, NestingIsLimitedWhereverTheBracketsAre)
{
    constexpr auto limit = JsonText::kMaximumDepth;
    const std::string deepInString = "\"" + nested(10'000) + "\"";
    struct Row {
        const char* name;
        std::string text;
        bool accepted;
    };
    const Row rows[] = {
        {"arrays at the limit", nested(limit), true},
        {"arrays one over", nested(limit + 1), false},
        {"objects at the limit", "[" + nested(limit - 1, "{\"a\":", "}", "0") + "]", true},
        {"objects one over", "[" + nested(limit, "{\"a\":", "}", "0") + "]", false},
        {"hostile depth", nested(100'000), false},
        {"unclosed hostile depth", std::string(100'000, '['), false},
        {"brackets inside a string", "[" + deepInString + "]", true},
        {"escaped quote keeps the string open",
         "{\"k\":\"\\\"" + std::string(100, '[') + "\",\"n\":" + nested(limit - 1) + "}", true},
        {"escaped backslash closes the string",
         "[\"\\\\\"," + nested(limit) + "]", false},
        {"closers in a string do not lower the depth",
         "[\"" + std::string(10, ']') + "\"," + nested(limit) + "]", false},
    };
    for (const auto& row : rows) {
        const auto parsed = JsonText::parse(row.text);
        EXPECT_EQ(parsed.hasValue(), row.accepted) << row.name;
        if (!parsed.hasValue()) {
            EXPECT_NE(parsed.error().description.find("nesting deeper than 64"), std::string::npos) << row.name;
        }
    }
}

}  // namespace
}  // namespace tessary
