#include "shared/SharedDefaults.h"

#include <cstdio>

#include "platform/JsonText.h"
#include "shared/SharedStoreFormat.h"
#include "shared/SqliteDefenses.h"

namespace tessary {

namespace {

// The agent's main thread waits at most this long for a browser's append to commit.
constexpr auto kBusyTimeout = std::chrono::milliseconds(1000);

}  // namespace

SharedDefaults::SharedDefaults(std::filesystem::path storeFile, std::shared_ptr<const Clock> clock, Logger logger,
                               TamperingDetected tamperingDetected)
    : storeFile_(std::move(storeFile)),
      clock_(std::move(clock)),
      logger_(std::move(logger)),
      tamperingDetected_(std::move(tamperingDetected))
{
}

SharedStore* SharedDefaults::connection()
{
    if (store_) {
        const auto check = store_->checkPath();
        if (check == SharedStore::PathCheck::holdsFile && keepsWhatWasPublished(*store_))
            return store_.get();
        // A file damaged in place is examined below; only a damaged one is a rebuild.
        if (check == SharedStore::PathCheck::moved) {
            lost_ = true;
            staleJournals_ = true;
        }
        dropConnection();
    }
    if (staleJournals_) {
        // They were this connection's, and belong to the file that left the path.
        if (auto error = SharedStore::moveJournalsAside(storeFile_, asideStamp())) {
            reportFailure("Failed to open the shared store: %@", *error);
            return nullptr;
        }
        staleJournals_ = false;
    }
    std::vector<std::string> foreign;
    auto state = SharedStore::examine(storeFile_, kBusyTimeout, &foreign);
    if (!state) {
        reportFailure("Failed to open the shared store: %@", state.error());
        return nullptr;
    }
    if (state.value() == SharedStore::FileState::tampered && !tampered_)
        tamperingDetected_(SqliteDefenses::finding("shared store", foreign));
    // Found once, however many polls it takes to move the file aside.
    tampered_ = state.value() == SharedStore::FileState::tampered;
    if (state.value() == SharedStore::FileState::damaged || state.value() == SharedStore::FileState::tampered) {
        auto moved = SharedStore::moveAside(storeFile_, asideStamp());
        if (!moved) {
            reportFailure("Failed to move the damaged shared store aside: %@", moved.error());
            return nullptr;
        }
        movedAside_ = std::move(moved).value();
    }
    auto opened = SharedStore::open(storeFile_, SharedStore::Access::readWrite, kBusyTimeout);
    if (!opened) {
        reportFailure("Failed to open the shared store: %@", opened.error());
        return nullptr;
    }
    store_ = std::move(opened).value();
    dataVersion_.reset();
    if (auto error = republish(*store_)) {
        reportFailure("Failed to write rules to the shared store: %@", *error);
        return nullptr;
    }
    // One line per rebuild; the first creation of the store is not one.
    if (movedAside_) {
        logger_.error("Shared store was damaged — moved it aside to %s and rebuilt it", {movedAside_->string()});
        if (state.value() == SharedStore::FileState::damaged)
            tamperingDetected_("the shared store was damaged or overwritten");
    } else if (lost_ && state.value() == SharedStore::FileState::missing) {
        logger_.error("Shared store was missing — rebuilt it");
        tamperingDetected_("the shared store was deleted");
    } else if (lost_) {
        logger_.error("Shared store was replaced — published the rules into it again");
        tamperingDetected_("the shared store was replaced by another file");
    }
    movedAside_.reset();
    lost_ = false;
    tampered_ = false;
    return store_.get();
}

bool SharedDefaults::keepsWhatWasPublished(SharedStore& store)
{
    const auto version = store.dataVersion();
    // Unchanged since the last look: no other process has written, nothing to compare.
    if (version && dataVersion_ == version.value())
        return true;
    if (version)
        dataVersion_ = version.value();
    auto foreign = store.foreignObjects();
    if (foreign && !foreign.value().empty()) {
        tamperingDetected_(SqliteDefenses::finding("shared store", foreign.value()));
        tampered_ = true;
        return false;
    }
    if (!published_)
        return true;
    const auto expected = published_->rules ? std::optional<std::string_view>(*published_->rules) : std::nullopt;
    auto holds = store.holdsData(SharedStoreFormat::kRulesKey, expected);
    if (!holds || holds.value())
        return true;
    tamperingDetected_("the rules in the shared store were changed by another process");
    if (auto error = republish(store)) {
        reportFailure("Failed to write rules to the shared store: %@", *error);
        return false;
    }
    logger_.error("Rules in the shared store were changed by another process — published them again");
    return true;
}

std::optional<Error> SharedDefaults::republish(SharedStore& store)
{
    if (!published_)
        return std::nullopt;
    if (published_->rules)
        return store.setData(SharedStoreFormat::kRulesKey, *published_->rules);
    return store.removeKey(SharedStoreFormat::kRulesKey);
}

void SharedDefaults::dropConnection()
{
    if (!store_)
        return;
    store_->leaveFileAsIs();
    store_.reset();
}

std::string SharedDefaults::asideStamp() const
{
    using namespace std::chrono;
    const auto second = floor<seconds>(clock_->now());
    const auto day = floor<days>(second);
    const year_month_day date(day);
    const hh_mm_ss time(second - day);
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02u%02uT%02ld%02ld%02lldZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
                  static_cast<long long>(time.seconds().count()));
    return text;
}

void SharedDefaults::reportFailure(std::string_view format, const Error& error)
{
    // The poll retries every two seconds; one line per distinct failure keeps the log readable.
    const auto line = Logger::render(format, {error});
    if (line != lastFailure_)
        logger_.error(format, {error});
    lastFailure_ = line;
    // A connection that failed is opened afresh next time, in case the file was repaired.
    dropConnection();
}

template <typename Use>
bool SharedDefaults::withStore(std::string_view failureFormat, Use use)
{
    auto* store = connection();
    if (store == nullptr)
        return false;
    auto error = use(*store);
    if (error && store->lastFailureMayBeDamage()) {
        // Examined now rather than at the next poll, so this use is not lost to a damaged file.
        dropConnection();
        store = connection();
        if (store == nullptr)
            return false;
        error = use(*store);
    }
    if (error) {
        reportFailure(failureFormat, *error);
        return false;
    }
    reportSuccess();
    return true;
}

bool SharedDefaults::setRules(std::string_view bytes)
{
    // Recorded after the use: until then, what the store holds is compared with what was published before.
    const bool written = withStore("Failed to write rules to the shared store: %@", [&](SharedStore& store) {
        return store.setData(SharedStoreFormat::kRulesKey, bytes);
    });
    published_ = Published{std::string(bytes)};
    return written;
}

void SharedDefaults::removeRules()
{
    withStore("Failed to remove rules from the shared store: %@",
              [](SharedStore& store) { return store.removeKey(SharedStoreFormat::kRulesKey); });
    published_ = Published{std::nullopt};
}

void SharedDefaults::drainEventQueue(
    const std::function<void(const nlohmann::json& event, const std::string& receipt)>& handOver)
{
    constexpr std::string_view kFailure = "Failed to drain the browser event queue: %@";
    std::vector<SharedStore::QueuedEvent> queued;
    withStore(kFailure, [&](SharedStore& store) -> std::optional<Error> {
        auto events = store.queuedEvents();
        if (!events)
            return events.error();
        queued = std::move(events).value();
        return std::nullopt;
    });
    for (const auto& entry : queued) {
        auto event = JsonText::parse(entry.event);
        if (event && event.value().is_object())
            handOver(event.value(), std::to_string(entry.seq) + " " + entry.event);
        // What stays queued is handed over again at the next drain.
        if (!withStore(kFailure, [&](SharedStore& store) { return store.removeEvent(entry); }))
            return;
    }
}

std::vector<nlohmann::json> SharedDefaults::drainEventQueue()
{
    std::vector<nlohmann::json> events;
    drainEventQueue([&events](const nlohmann::json& event, const std::string&) { events.push_back(event); });
    return events;
}

}  // namespace tessary
