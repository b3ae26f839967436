#include "chrome-host/NativeMessageFraming.h"

#include <string>

#include "platform/JsonText.h"

namespace tessary {

std::optional<std::string> NativeMessageFraming::readFrame(ByteInput& input)
{
    const auto prefix = input.readUpTo(4);
    if (prefix.size() != 4)
        return std::nullopt;
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i)
        length = (length << 8) | static_cast<unsigned char>(prefix[static_cast<std::size_t>(i)]);
    if (length == 0 || length > kMaximumLength)
        return std::nullopt;
    auto body = input.readUpTo(length);
    if (body.size() != length)
        return std::nullopt;
    return body;
}

std::optional<nlohmann::json> NativeMessageFraming::readMessage(ByteInput& input)
{
    const auto frame = readFrame(input);
    if (!frame)
        return std::nullopt;
    const auto& body = *frame;
    // No JSON text holds a raw NUL byte, but the parser would stop at one and accept what precedes it.
    if (body.find('\0') != std::string::npos)
        return std::nullopt;
    auto message = JsonText::parse(body);
    if (!message || !message.value().is_object())
        return std::nullopt;
    return std::move(message).value();
}

bool NativeMessageFraming::writeMessage(ByteOutput& output, std::string_view reply)
{
    // Two writes rather than one copy: a reply may be hundreds of kilobytes of rules.
    return writeLength(output, reply.size()) && output.writeAll(reply);
}

bool NativeMessageFraming::writeLength(ByteOutput& output, std::size_t length)
{
    if (length > UINT32_MAX)
        return false;
    char prefix[4];
    for (std::size_t i = 0; i < 4; ++i)
        prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFFU);
    return output.writeAll(std::string_view(prefix, 4));
}

}  // namespace tessary
