#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

class Base64 {
public:
    static std::string encode(std::string_view bytes);
    // Absent when the text is not canonical padded base64.
    static std::optional<std::string> decode(std::string_view text);
};

}  // namespace tessary
