// tessary-firefox-host: Firefox starts it for the web extension's native messaging, with the
// manifest's path and the extension's ID as arguments, for one message (sendNativeMessage) or for
// as many as the extension sends (connectNative). Exits with status 0 whatever happened.
#include <csignal>
#include <memory>

#include "firefox-host/FirefoxMessageLoop.h"
#include "platform/Clock.h"
#include "platform/linux/DatagramNotificationPoster.h"
#include "platform/linux/EnvironmentPaths.h"
#include "platform/linux/FileDescriptorInput.h"
#include "platform/linux/FileDescriptorOutput.h"
#include "platform/linux/SystemLogSink.h"
#include "safari-extension/SafariWebExtensionHandler.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"

int main()
{
    using namespace tessary;
    // Firefox closing its end mid-reply ends the run, never with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    SharedStore::takePageMemoryAsNeeded();
    try {
        auto input = FileDescriptorInput::standardInput();
        auto output = FileDescriptorOutput::standardOutput();
        const auto paths = EnvironmentPaths::current();
        // Started for every page visit, with its stderr shown in Firefox's Browser Console: the
        // handler's error lines are logged; its info lines ("Received: url_visit") only for a
        // developer watching stderr, since a line per page would fill the journal and the console.
        const SafariWebExtensionHandler handler(
            SharedStoreFormat::storePath(paths),
            std::make_shared<DatagramNotificationPoster>(SharedStoreFormat::notificationSocketPath(paths)),
            std::make_shared<SystemClock>(), SystemLogSink::fromEnvironment(LogLevel::error));
        FirefoxMessageLoop::run(input, output, handler);
    } catch (...) {
        // Out of memory is the only way here; Firefox then sees the connection end, never a crash.
    }
    return 0;
}
