#include "firefox-host/FirefoxMessageLoop.h"

#include <string>
#include <string_view>

#include "chrome-host/NativeMessageFraming.h"

namespace tessary {

namespace {

constexpr std::string_view kTooLarge = R"({"error":"reply too large"})";

}  // namespace

void FirefoxMessageLoop::run(ByteInput& input, ByteOutput& output, const SafariWebExtensionHandler& handler)
{
    while (const auto frame = NativeMessageFraming::readFrame(input)) {
        // The parser would stop at a NUL byte and accept what precedes it: a frame holding one is
        // no message at all.
        const bool text = frame->find('\0') == std::string::npos;
        auto reply = handler.reply(text ? std::string_view(*frame) : std::string_view());
        const bool written = reply.size() <= kLargestReply
                                 ? NativeMessageFraming::writeLength(output, reply.size()) && reply.writeTo(output)
                                 : NativeMessageFraming::writeMessage(output, kTooLarge);
        if (!written)
            return;
    }
}

}  // namespace tessary
