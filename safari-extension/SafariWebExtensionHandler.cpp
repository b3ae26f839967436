#include "safari-extension/SafariWebExtensionHandler.h"

#include "platform/JsonText.h"

namespace tessary {

SafariWebExtensionHandler::SafariWebExtensionHandler(std::filesystem::path storeFile,
                                                     std::shared_ptr<NotificationPoster> notifier,
                                                     std::shared_ptr<const Clock> clock,
                                                     std::shared_ptr<LogSink> logSink)
    : handler_(std::move(storeFile), std::move(notifier), std::move(clock),
               {"invalid message", Logger(std::move(logSink), kSubsystem, kCategory)})
{
}

std::string SafariWebExtensionHandler::beginRequest(std::string_view messageJson) const
{
    auto message = JsonText::parse(messageJson);
    // Unparsable text stands for a message that is not a dictionary; the handler answers both alike.
    return handler_.answer(message ? message.value() : nlohmann::json());
}

}  // namespace tessary
