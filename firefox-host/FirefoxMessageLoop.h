#pragma once

#include <cstddef>

#include "platform/ByteInput.h"
#include "platform/ByteOutput.h"
#include "safari-extension/SafariWebExtensionHandler.h"

namespace tessary {

// Firefox's native messaging with the web-extension handler: each frame of the input goes to the
// handler the plug-in's entry wraps, so replies and log lines are the handler's own, and each reply
// goes back framed, in order, until the input ends. A bad length or a short body leaves no way to
// find the next frame: the loop ends there, without writing anything for it.
class FirefoxMessageLoop {
public:
    // Firefox drops a host's message above 1 MiB, and the connection with it.
    static constexpr std::size_t kLargestReply = 1024 * 1024;

    static void run(ByteInput& input, ByteOutput& output, const SafariWebExtensionHandler& handler);
};

}  // namespace tessary
