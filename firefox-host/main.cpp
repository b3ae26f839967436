// tessary-firefox-host: Firefox starts it for the web extension's native messaging, with the
// manifest's path and the extension's ID as arguments, for one message (sendNativeMessage) or for
// as many as the extension sends (connectNative). Exits with status 0 whatever happened.
#include <csignal>

#include "firefox-host/FirefoxMessageLoop.h"
#include "platform/linux/FileDescriptorInput.h"
#include "platform/linux/FileDescriptorOutput.h"

int main()
{
    using namespace tessary;
    // Firefox closing its end mid-reply ends the run, never with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        auto input = FileDescriptorInput::standardInput();
        auto output = FileDescriptorOutput::standardOutput();
        FirefoxMessageLoop::run(input, output);
    } catch (...) {
        // Out of memory is the only way here; Firefox then sees the connection end, never a crash.
    }
    return 0;
}
