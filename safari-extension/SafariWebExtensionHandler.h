#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/LogSink.h"
#include "platform/NotificationPoster.h"
#include "shared/BrowserMessageHandler.h"

namespace tessary {

// The web extension's native request handler: takes the message dictionary as JSON text and
// returns the reply dictionary as JSON text. Keeps no state between requests.
class SafariWebExtensionHandler {
public:
    static constexpr const char* kSubsystem = "app.brenmoor.tessary.safari-extension";
    static constexpr const char* kCategory = "handler";

    SafariWebExtensionHandler(std::filesystem::path storeFile, std::shared_ptr<NotificationPoster> notifier,
                              std::shared_ptr<const Clock> clock, std::shared_ptr<LogSink> logSink);

    // Anything that is not a JSON object with a string "type" is answered {"error":"invalid message"}
    // without a log line.
    std::string beginRequest(std::string_view messageJson) const;
    // The same reply, to be written in pieces (see BrowserReply).
    BrowserReply reply(std::string_view messageJson) const;

private:
    BrowserMessageHandler handler_;
};

}  // namespace tessary
