#include "firefox-host/FirefoxMessageLoop.h"

#include <string>
#include <string_view>

#include "chrome-host/NativeMessageFraming.h"
#include "safari-extension/WebExtensionEntry.h"

namespace tessary {
namespace {

constexpr std::string_view kTooLarge = R"({"error":"reply too large"})";

}  // namespace

void FirefoxMessageLoop::run(ByteInput& input, ByteOutput& output)
{
    while (const auto frame = NativeMessageFraming::readFrame(input)) {
        // The entry reads text up to a NUL byte; a frame holding one is no message at all.
        const bool text = frame->find('\0') == std::string::npos;
        char* reply = tessary_web_extension_handle_message(text ? frame->c_str() : "");
        if (reply == nullptr)
            return;
        const std::string_view answer(reply);
        const bool written = NativeMessageFraming::writeMessage(output, answer.size() <= kLargestReply ? answer : kTooLarge);
        tessary_web_extension_free_reply(reply);
        if (!written)
            return;
    }
}

}  // namespace tessary
