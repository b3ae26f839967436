#include "safari-extension/WebExtensionEntry.h"

#include <cstring>
#include <memory>
#include <string>

#include "platform/linux/DatagramNotificationPoster.h"
#include "platform/linux/EnvironmentPaths.h"
#include "platform/linux/SystemLogSink.h"
#include "safari-extension/HostLogSink.h"
#include "safari-extension/SafariWebExtensionHandler.h"
#include "shared/SharedStoreFormat.h"

#define TESSARY_EXPORT __attribute__((visibility("default")))

extern "C" TESSARY_EXPORT char* tessary_web_extension_handle_message(const char* messageJson)
{
    using namespace tessary;
    try {
        // The environment is read per request: the hosting process may outlive a change of session.
        const auto paths = EnvironmentPaths::current();
        const SafariWebExtensionHandler handler(
            SharedStoreFormat::storePath(paths),
            std::make_shared<DatagramNotificationPoster>(SharedStoreFormat::notificationSocketPath(paths)),
            std::make_shared<SystemClock>(), std::make_shared<HostLogSink>(SystemLogSink::fromEnvironment()));
        const auto reply = handler.beginRequest(messageJson != nullptr ? messageJson : "");
        auto* copy = new char[reply.size() + 1];
        std::memcpy(copy, reply.c_str(), reply.size() + 1);
        return copy;
    } catch (...) {
        return nullptr;
    }
}

extern "C" TESSARY_EXPORT void tessary_web_extension_free_reply(char* reply)
{
    delete[] reply;
}

extern "C" TESSARY_EXPORT void tessary_web_extension_set_log_handler(TessaryLogHandler handler, void* context)
{
    tessary::HostLogSink::setHandler(handler, context);
}
