#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "shared/CompactJson.h"
#include "tests/support/CompactInPieces.h"

namespace tessary {
namespace {


// Each row is checked whole and in pieces of every size from one byte, so every token, escape and
// UTF-8 sequence is also cut at every point.
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
        {"space before a number's end", "[1 ]", "[1]"},
        {"number at the very end", "-12.5e3", "-12.5e3"},
        {"fraction after an exponent", "1e2.5", std::nullopt},
        {"two exponents", "1e2e3", std::nullopt},
        {"zero then a digit inside an array", "[01]", std::nullopt},
        {"a value after the top value", "{} []", std::nullopt},
        {"four-byte UTF-8", "\"\xf0\x9f\x98\x80\"", "\"\xf0\x9f\x98\x80\""},
        {"UTF-8 cut short by the quote", "\"\xe2\x82\"", std::nullopt},
        {"overlong UTF-8", "\"\xe0\x80\xaf\"", std::nullopt},
        {"UTF-8 encoded surrogate", "\"\xed\xa0\x80\"", std::nullopt},
        {"UTF-8 beyond U+10FFFF", "\"\xf4\x90\x80\x80\"", std::nullopt},
        {"high surrogate then a plain escape", R"("\ud83d\n")", std::nullopt},
        {"high surrogate then another high one", R"("\ud83d\ud83d")", std::nullopt},
        {"key that is not a string", "{1:2}", std::nullopt},
        {"comma instead of colon", R"({"a",1})", std::nullopt},
        {"NUL outside strings", std::string("[1,\0 2]", 7), std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CompactJson::compact(row.text), row.compact) << row.name;
        const std::size_t largestPiece = row.text.size() > 1000 ? 3 : row.text.size();
        for (std::size_t pieceSize = 1; pieceSize <= largestPiece; ++pieceSize)
            EXPECT_EQ(testing::compactInPieces(row.text, pieceSize), row.compact) << row.name << " in pieces of " << pieceSize;
        if (row.compact && std::string(row.name) != "deep nesting") {
            EXPECT_TRUE(nlohmann::json::accept(*row.compact)) << row.name;
        }
    }
}

}  // namespace
}  // namespace tessary
