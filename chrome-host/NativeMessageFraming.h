#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/ByteInput.h"
#include "platform/ByteOutput.h"

namespace tessary {

// The browsers' native-messaging framing (Chrome's and Firefox's alike): a 4-byte length in the
// machine's byte order (little-endian on every platform served), then that many bytes of UTF-8
// JSON. Lengths are checked before anything is read, and every byte count is checked.
class NativeMessageFraming {
public:
    static constexpr std::uint32_t kMaximumLength = 999'999;

    // One frame's bytes; absent for end of input, a length of 0 or above the maximum, or a short body.
    static std::optional<std::string> readFrame(ByteInput& input);
    // The message object; absent as for readFrame, and for text that is not JSON or a value that is
    // not an object.
    static std::optional<nlohmann::json> readMessage(ByteInput& input);
    // The length prefix and the reply bytes. False when the output refused them.
    static bool writeMessage(ByteOutput& output, std::string_view reply);
    // The length prefix alone, for a reply of that many bytes that the caller writes after it.
    // False when the length does not fit the prefix or the output refused it.
    static bool writeLength(ByteOutput& output, std::size_t length);
};

}  // namespace tessary
