#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/Expected.h"

namespace tessary {

// JSON text in and out without exceptions: malformed input and unencodable text are errors.
class JsonText {
public:
    // Deeper input is refused before parsing: what the agent reads is shallow, and a hostile
    // document of deep brackets must cost neither stack nor memory.
    static constexpr std::size_t kMaximumDepth = 64;

    static Expected<nlohmann::json> parse(std::string_view bytes);
    // Compact text; fails when a string holds bytes that are not UTF-8.
    static Expected<std::string> dump(const nlohmann::json& value);
};

}  // namespace tessary
