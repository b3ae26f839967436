#include "shared/SharedDefaults.h"

#include "platform/JsonText.h"
#include "shared/SharedStoreFormat.h"

namespace tessary {

namespace {

// The agent's main thread waits at most this long for a browser's append to commit.
constexpr auto kBusyTimeout = std::chrono::milliseconds(1000);

}  // namespace

SharedDefaults::SharedDefaults(std::filesystem::path storeFile, Logger logger)
    : storeFile_(std::move(storeFile)), logger_(std::move(logger))
{
}

SharedStore* SharedDefaults::connection()
{
    if (store_)
        return store_.get();
    auto opened = SharedStore::open(storeFile_, SharedStore::Access::readWrite, kBusyTimeout);
    if (!opened) {
        reportFailure("Failed to open the shared store: %@", opened.error());
        return nullptr;
    }
    store_ = std::move(opened).value();
    return store_.get();
}

void SharedDefaults::reportFailure(std::string_view format, const Error& error)
{
    // The poll retries every two seconds; one line per distinct failure keeps the log readable.
    const auto line = Logger::render(format, {error});
    if (line != lastFailure_)
        logger_.error(format, {error});
    lastFailure_ = line;
    // A connection that failed is opened afresh next time, in case the file was repaired.
    store_.reset();
}

bool SharedDefaults::setRules(std::string_view bytes)
{
    auto* store = connection();
    if (store == nullptr)
        return false;
    if (auto error = store->setData(SharedStoreFormat::kRulesKey, bytes)) {
        reportFailure("Failed to write rules to the shared store: %@", *error);
        return false;
    }
    reportSuccess();
    return true;
}

void SharedDefaults::removeRules()
{
    auto* store = connection();
    if (store == nullptr)
        return;
    if (auto error = store->removeKey(SharedStoreFormat::kRulesKey)) {
        reportFailure("Failed to remove rules from the shared store: %@", *error);
        return;
    }
    reportSuccess();
}

std::vector<nlohmann::json> SharedDefaults::drainEventQueue()
{
    std::vector<nlohmann::json> events;
    auto* store = connection();
    if (store == nullptr)
        return events;
    auto taken = store->takeEvents();
    if (!taken) {
        reportFailure("Failed to drain the browser event queue: %@", taken.error());
        return events;
    }
    reportSuccess();
    for (const auto& text : taken.value()) {
        auto event = JsonText::parse(text);
        if (event && event.value().is_object())
            events.push_back(std::move(event).value());
    }
    return events;
}

}  // namespace tessary
