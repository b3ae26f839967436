#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// Checks a JSON text and drops its insignificant whitespace in one pass, without building a
// document, so a large stored value is passed on quickly and exactly as it was written.
class CompactJson {
public:
    // Rewrites text as the compact form of the one JSON value it holds (RFC 8259: UTF-8, no byte
    // order mark, no lone surrogate escapes, any nesting depth) and returns true; returns false,
    // with text in an unspecified state, when it is not exactly one such value. Works in place:
    // a large value is never copied.
    // Only text from `from` on is the JSON text; what precedes it is left as it is.
    static bool compactInPlace(std::string& text, std::size_t from = 0);
    // The compact text, or absent when text is not one JSON value.
    static std::optional<std::string> compact(std::string_view text);
};

}  // namespace tessary
