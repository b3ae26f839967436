#include <gtest/gtest.h>

#include "platform/Utf8.h"
#include "platform/linux/Base64.h"

namespace tessary {
namespace {

TEST(TextCodecsTest, Utf8AcceptsWellFormedTextOnly)
{
    struct Row {
        const char* name;
        std::string bytes;
        bool valid;
    };
    const Row rows[] = {
        {"empty", "", true},
        {"ascii", "token", true},
        {"accents and emoji", "Zoë 👩‍👧 日本", true},
        {"lone continuation", "\x80", false},
        {"overlong slash", "\xC0\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"truncated", "\xE6\x97", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Utf8::isValid(row.bytes), row.valid) << row.name;
}

TEST(TextCodecsTest, Base64RoundTripsEveryLengthAndRejectsGarbage)
{
    std::string bytes;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Base64::decode(Base64::encode(bytes)), bytes) << i;
        bytes += static_cast<char>(i * 37);
    }
    EXPECT_EQ(Base64::encode("Man"), "TWFu");
    EXPECT_EQ(Base64::encode("Ma"), "TWE=");
    EXPECT_FALSE(Base64::decode("TWE"));
    EXPECT_FALSE(Base64::decode("T=Fu"));
    EXPECT_FALSE(Base64::decode("TW*u"));
}

}  // namespace
}  // namespace tessary
