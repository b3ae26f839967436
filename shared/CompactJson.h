#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// Checks a JSON text and drops its insignificant whitespace in one pass, without building a
// document, so a large stored value is passed on quickly and exactly as it was written.
class CompactJson {
public:
    // The compact text of one JSON value (RFC 8259: UTF-8, no byte order mark, no lone surrogate
    // escapes, any nesting depth); absent when text is not exactly one such value.
    static std::optional<std::string> compact(std::string_view text);
};

}  // namespace tessary
