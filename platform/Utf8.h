#pragma once

#include <string_view>

namespace tessary {

class Utf8 {
public:
    // Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
    static bool isValid(std::string_view bytes);
};

}  // namespace tessary
