#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "shared/CompactJson.h"

namespace tessary {
namespace {

TEST(CompactJsonTest, AcceptsExactlyOneJsonValueAndDropsOnlyInsignificantSpace)
{
    struct Row {
        const char* name;
        std::string text;
        std::optional<std::string> compact;
    };
    const Row rows[] = {
        {"compact object unchanged", R"({"a":[1,{"b":null}],"c":true})", R"({"a":[1,{"b":null}],"c":true})"},
        {"spaces around every token", " { \"a\" :\t[ 1 ,\r\n2 ] , \"b\" : { } } ", R"({"a":[1,2],"b":{}})"},
        {"space inside strings kept", R"({"a b":" c "})", R"({"a b":" c "})"},
        {"escapes kept as written", R"(["\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"])", R"(["\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"])"},
        {"numbers as written", "[0,-0,1.50,-2e+10,3E-2]", "[0,-0,1.50,-2e+10,3E-2]"},
        {"scalar at top level", " \"text\" ", "\"text\""},
        {"UTF-8 in strings", "[\"caf\xc3\xa9\"]", "[\"caf\xc3\xa9\"]"},
        {"deep nesting", std::string(100000, '[') + std::string(100000, ']'),
         std::string(100000, '[') + std::string(100000, ']')},
        {"empty", "", std::nullopt},
        {"only space", "  ", std::nullopt},
        {"two values", "1 2", std::nullopt},
        {"trailing comma", "[1,]", std::nullopt},
        {"object trailing comma", R"({"a":1,})", std::nullopt},
        {"missing colon", R"({"a" 1})", std::nullopt},
        {"unquoted key", "{a:1}", std::nullopt},
        {"mismatched close", "[1}", std::nullopt},
        {"unclosed", "[[1]", std::nullopt},
        {"leading zero", "01", std::nullopt},
        {"bare minus", "-", std::nullopt},
        {"fraction without digits", "1.", std::nullopt},
        {"exponent without digits", "1e+", std::nullopt},
        {"bad literal", "tru", std::nullopt},
        {"control character in string", "\"a\x01\"", std::nullopt},
        {"unknown escape", R"("\x")", std::nullopt},
        {"short unicode escape", R"("\u12")", std::nullopt},
        {"lone high surrogate", R"("\ud83d")", std::nullopt},
        {"lone low surrogate", R"("\ude00")", std::nullopt},
        {"invalid UTF-8", "\"\xc3\x28\"", std::nullopt},
        {"byte order mark", "\xef\xbb\xbf{}", std::nullopt},
        {"unterminated string", "\"abc", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CompactJson::compact(row.text), row.compact) << row.name;
        if (row.compact && std::string(row.name) != "deep nesting") {
            EXPECT_TRUE(nlohmann::json::accept(*row.compact)) << row.name;
        }
    }
}

}  // namespace
}  // namespace tessary
