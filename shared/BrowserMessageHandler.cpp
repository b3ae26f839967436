#include "shared/BrowserMessageHandler.h"

#include <cmath>

#include "platform/JsonText.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"

namespace tessary {

namespace {

// A browser process may wait this long for another's append to commit.
constexpr auto kBusyTimeout = std::chrono::milliseconds(5000);
constexpr const char* kOkReply = R"({"ok":true})";
constexpr const char* kRulesPrefix = R"({"rules":)";

const std::string* stringMember(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
}

}  // namespace

BrowserMessageHandler::BrowserMessageHandler(std::filesystem::path storeFile,
                                             std::shared_ptr<NotificationPoster> notifier,
                                             std::shared_ptr<const Clock> clock, Options options)
    : storeFile_(std::move(storeFile)), notifier_(std::move(notifier)), clock_(std::move(clock)),
      options_(std::move(options))
{
}

std::optional<std::int64_t> BrowserMessageHandler::integralValue(const nlohmann::json& value)
{
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue <= static_cast<std::uint64_t>(INT64_MAX))
            return static_cast<std::int64_t>(unsignedValue);
        return std::nullopt;
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        // 2^63 is exact as a double; anything at or above it does not fit.
        if (std::isfinite(number) && std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0)
            return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

std::string BrowserMessageHandler::errorReply(const std::string& text) const
{
    auto reply = JsonText::dump(nlohmann::json{{"error", text}});
    return reply ? std::move(reply).value() : std::string();
}

std::string BrowserMessageHandler::answer(const nlohmann::json& message) const
{
    auto text = reply(message).text();
    // Only stored rules can fail to be read a second time.
    return text ? std::move(text).value() : defaultRulesReply().text().value();
}

BrowserReply BrowserMessageHandler::reply(const nlohmann::json& message) const
{
    const std::string* type = message.is_object() ? stringMember(message, "type") : nullptr;
    if (type == nullptr)
        return BrowserReply(errorReply(options_.missingTypeError));
    if (options_.logger)
        options_.logger->info("Received: %{public}s", {*type});

    if (*type == "get_rules")
        return rulesReply();
    if (*type == "url_visit") {
        if (const auto* url = stringMember(message, "url")) {
            const auto timestamp = message.find("timestamp");
            const auto ts = timestamp != message.end() ? integralValue(*timestamp) : std::nullopt;
            enqueueEvent({{"type", "url_visit"}, {"url", *url}, {"ts", ts ? *ts : clock_->secondsSinceEpoch()}});
        }
        return BrowserReply(kOkReply);
    }
    if (*type == "access_request") {
        if (const auto* url = stringMember(message, "url")) {
            const auto* title = stringMember(message, "title");
            enqueueEvent({{"type", "access_request"}, {"url", *url}, {"title", title ? *title : std::string()}});
        }
        return BrowserReply(kOkReply);
    }
    if (options_.logger)
        options_.logger->error("Unknown message type: %s", {*type});
    return BrowserReply(errorReply("unknown type"));
}

BrowserReply BrowserMessageHandler::rulesReply() const
{
    if (auto store = SharedStore::open(storeFile_, SharedStore::Access::readExisting, kBusyTimeout)) {
        if (auto stored = BrowserReply::aroundStoredValue(kRulesPrefix, std::move(store).value(),
                                                          SharedStoreFormat::kRulesKey, "}"))
            return std::move(stored).value();
    }
    return defaultRulesReply();
}

BrowserReply BrowserMessageHandler::defaultRulesReply()
{
    return BrowserReply(std::string(kRulesPrefix) + SharedStoreFormat::kDefaultRules + "}");
}

void BrowserMessageHandler::enqueueEvent(const nlohmann::json& event) const
{
    auto text = JsonText::dump(event);
    if (!text)
        return;
    {
        // The agent creates the store and rebuilds a damaged one; a browser never creates or
        // repairs it, so it never races the agent with a file of its own.
        auto store = SharedStore::open(storeFile_, SharedStore::Access::writeExisting, kBusyTimeout);
        if (!store) {
            if (options_.logger)
                options_.logger->error("Failed to open app group UserDefaults");
            return;
        }
        // The queue is counted only for the line that reports it.
        const bool reportSize = options_.logger && options_.logger->keeps(LogLevel::info);
        auto size = store.value()->appendEvent(
            text.value(), reportSize ? SharedStore::QueueLength::counted : SharedStore::QueueLength::notCounted);
        if (!size) {
            if (options_.logger)
                options_.logger->error("Failed to enqueue event: %@", {size.error()});
            return;
        }
        if (reportSize)
            options_.logger->info("Enqueued event, queue size: %{public}ld", {size.value()});
    }
    notifier_->post();
}

}  // namespace tessary
