#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/ByteInput.h"
#include "platform/ByteOutput.h"

namespace tessary {

// Chrome's native-messaging framing: a 4-byte little-endian length, then that many bytes of UTF-8
// JSON. Lengths are checked before anything is read, and every byte count is checked.
class NativeMessageFraming {
public:
    static constexpr std::uint32_t kMaximumLength = 999'999;

    // The message object; absent for end of input, a length of 0 or above the maximum, a short
    // body, text that is not JSON, or a value that is not an object.
    static std::optional<nlohmann::json> readMessage(ByteInput& input);
    // The length prefix and the reply bytes. False when the output refused them.
    static bool writeMessage(ByteOutput& output, std::string_view reply);
};

}  // namespace tessary
