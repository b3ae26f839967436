#include "tests/support/NativeFrames.h"

namespace tessary::testing {

std::string NativeFrames::framed(std::string_view body, std::optional<std::uint32_t> declaredLength)
{
    const std::uint32_t length = declaredLength.value_or(static_cast<std::uint32_t>(body.size()));
    std::string frame;
    for (int shift = 0; shift < 32; shift += 8)
        frame += static_cast<char>((length >> shift) & 0xFFU);
    return frame + std::string(body);
}

std::optional<std::vector<std::string>> NativeFrames::bodies(std::string_view output)
{
    std::vector<std::string> found;
    std::size_t at = 0;
    while (at < output.size()) {
        if (output.size() - at < 4)
            return std::nullopt;
        std::uint32_t length = 0;
        for (int i = 3; i >= 0; --i)
            length = (length << 8) | static_cast<unsigned char>(output[at + static_cast<std::size_t>(i)]);
        if (output.size() - at - 4 < length)
            return std::nullopt;
        found.emplace_back(output.substr(at + 4, length));
        at += 4 + std::size_t{length};
    }
    return found;
}

}  // namespace tessary::testing
