#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessary {

// Header values built from stored or received text.
class HeaderText {
public:
    // Drops C0 and C1 control characters and DEL, so stored text can never end a header line
    // or start another one.
    static std::string withoutControlCharacters(std::string_view text);
    // The first `count` user-perceived characters (grapheme clusters) of UTF-8 text.
    static std::string firstCharacters(std::string_view text, std::size_t count);
};

}  // namespace tessary
