#include "chrome-host/NativeMessageFraming.h"

#include <string>

#include "platform/JsonText.h"

namespace tessary {

std::optional<nlohmann::json> NativeMessageFraming::readMessage(ByteInput& input)
{
    const auto prefix = input.readUpTo(4);
    if (prefix.size() != 4)
        return std::nullopt;
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i)
        length = (length << 8) | static_cast<unsigned char>(prefix[static_cast<std::size_t>(i)]);
    if (length == 0 || length > kMaximumLength)
        return std::nullopt;
    const auto body = input.readUpTo(length);
    if (body.size() != length)
        return std::nullopt;
    auto message = JsonText::parse(body);
    if (!message || !message.value().is_object())
        return std::nullopt;
    return std::move(message).value();
}

bool NativeMessageFraming::writeMessage(ByteOutput& output, std::string_view reply)
{
    if (reply.size() > UINT32_MAX)
        return false;
    const auto length = static_cast<std::uint32_t>(reply.size());
    std::string frame;
    frame.reserve(4 + reply.size());
    for (int shift = 0; shift < 32; shift += 8)
        frame += static_cast<char>((length >> shift) & 0xFFU);
    frame += reply;
    return output.writeAll(frame);
}

}  // namespace tessary
