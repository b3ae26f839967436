#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/Logger.h"
#include "platform/NotificationPoster.h"
#include "shared/BrowserReply.h"

namespace tessary {

// The protocol both browser components speak, apart from how a message reaches them: given one
// message, it reads the rules or queues the event and answers with the reply's compact JSON text.
// The Chrome host and the web-extension handler differ only in the reply to a message without a
// usable "type" and in whether they log, both set at construction.
class BrowserMessageHandler {
public:
    struct Options {
        // The "error" text for a message that is not an object or has no string "type".
        std::string missingTypeError;
        // Absent: nothing is logged.
        std::optional<Logger> logger;
    };

    BrowserMessageHandler(std::filesystem::path storeFile, std::shared_ptr<NotificationPoster> notifier,
                          std::shared_ptr<const Clock> clock, Options options);

    // The reply, to be written once; any event is committed and the agent woken before it returns.
    BrowserReply reply(const nlohmann::json& message) const;
    // The reply's whole text.
    std::string answer(const nlohmann::json& message) const;
    // Appends the event to the shared queue (committed when this returns) and wakes the agent.
    // A store that is missing or cannot be used drops the event; nothing is created.
    void enqueueEvent(const nlohmann::json& event) const;

    // "timestamp" as an event's "ts": a JSON number with an integral value that fits 64 bits.
    static std::optional<std::int64_t> integralValue(const nlohmann::json& value);

private:
    BrowserReply rulesReply() const;
    static BrowserReply defaultRulesReply();
    std::string errorReply(const std::string& text) const;

    std::filesystem::path storeFile_;
    std::shared_ptr<NotificationPoster> notifier_;
    std::shared_ptr<const Clock> clock_;
    Options options_;
};

}  // namespace tessary
