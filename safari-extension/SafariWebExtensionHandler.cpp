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

namespace {

// Unparsable text stands for a message that is not a dictionary; the handler answers both alike.
nlohmann::json messageOf(std::string_view messageJson)
{
    auto message = JsonText::parse(messageJson);
    return message ? std::move(message).value() : nlohmann::json();
}

}  // namespace

std::string SafariWebExtensionHandler::beginRequest(std::string_view messageJson) const
{
    return handler_.answer(messageOf(messageJson));
}

BrowserReply SafariWebExtensionHandler::reply(std::string_view messageJson) const
{
    return handler_.reply(messageOf(messageJson));
}

}  // namespace tessary
