#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::testing {

// Chrome's native-messaging framing as a browser writes and reads it, written apart from the
// host's own code: a 32-bit length in little-endian byte order, then the JSON text.
class NativeFrames {
public:
    // The frame of a body; a declared length, when given, stands in the header instead (a lying one).
    static std::string framed(std::string_view body, std::optional<std::uint32_t> declaredLength = std::nullopt);
    // The bodies of the frames the output holds, in order; absent when it holds anything but whole frames.
    static std::optional<std::vector<std::string>> bodies(std::string_view output);
};

}  // namespace tessary::testing
