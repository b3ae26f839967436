#include <gtest/gtest.h>

#include "agent/service/HeaderText.h"

namespace tessary {
namespace {

TEST(HeaderTextTest, FirstCharactersCountsUserPerceivedCharacters)
{
    struct Row {
        const char* name;
        std::string text;
        std::size_t count;
        std::string expected;
    };
    const Row rows[] = {
        {"shorter than the limit", "abc", 200, "abc"},
        {"combining marks stay with their letter", "e\u0301e\u0301e\u0301", 2, "e\u0301e\u0301"},
        {"emoji with skin tone is one", "\U0001F44D\U0001F3FDx", 1, "\U0001F44D\U0001F3FD"},
        {"family sequence is one", "\U0001F468\u200D\U0001F469\u200D\U0001F467!", 1,
         "\U0001F468\u200D\U0001F469\u200D\U0001F467"},
        {"flag is one", "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 1, "\U0001F1E9\U0001F1EA"},
        {"CR LF is one", "a\r\nb", 2, "a\r\n"},
        {"empty", "", 5, ""},
        {"zero", "abc", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HeaderText::firstCharacters(row.text, row.count), row.expected);
    }
}

TEST(HeaderTextTest, ControlCharactersAreRemovedAndOtherTextKept)
{
    EXPECT_EQ(HeaderText::withoutControlCharacters("a\r\nb\tc\x01\x1f\x7f" "d"), "abcd");
    EXPECT_EQ(HeaderText::withoutControlCharacters("next\u0085line\u009f"), "nextline");
    EXPECT_EQ(HeaderText::withoutControlCharacters("caf\u00e9 \u00a0\U0001F600"), "caf\u00e9 \u00a0\U0001F600");
    EXPECT_EQ(HeaderText::withoutControlCharacters(std::string("nul\0byte", 8)), "nulbyte");
}

}  // namespace
}  // namespace tessary
