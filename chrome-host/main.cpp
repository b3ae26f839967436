// tessary-chrome-host: Chrome starts it for one native message of the extension. It answers that
// message on standard output and exits with status 0 whatever happened; it never logs.
#include <memory>

#include "chrome-host/NativeMessageFraming.h"
#include "platform/Clock.h"
#include "platform/linux/DatagramNotificationPoster.h"
#include "platform/linux/EnvironmentPaths.h"
#include "platform/linux/FileDescriptorInput.h"
#include "platform/linux/FileDescriptorOutput.h"
#include "shared/BrowserMessageHandler.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"

int main()
{
    using namespace tessary;
    SharedStore::takePageMemoryAsNeeded();
    try {
        auto input = FileDescriptorInput::standardInput();
        auto output = FileDescriptorOutput::standardOutput();
        const auto message = NativeMessageFraming::readMessage(input);
        if (!message)
            return 0;
        const auto paths = EnvironmentPaths::current();
        const BrowserMessageHandler handler(
            SharedStoreFormat::storePath(paths),
            std::make_shared<DatagramNotificationPoster>(SharedStoreFormat::notificationSocketPath(paths)),
            std::make_shared<SystemClock>(), {"missing type", std::nullopt});
        // The handler has committed any event before the reply goes out.
        auto reply = handler.reply(*message);
        [[maybe_unused]] const bool written =
            NativeMessageFraming::writeLength(output, reply.size()) && reply.writeTo(output);
    } catch (...) {
        // Out of memory is the only way here; Chrome then sees no reply, never a crash.
    }
    return 0;
}
