#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Clock.h"
#include "platform/Logger.h"
#include "shared/SharedStore.h"

namespace tessary {

// The agent's side of the shared store: one connection kept open while the agent runs (opened on
// first use, opened again after a failure), the published rules and the drain of the browser
// event queue. A store that cannot be used is logged once per distinct failure and never fatal.
//
// The agent owns the store's path. Before each use it checks that the path still holds the file
// its connection has open; when the file was deleted, replaced or damaged, it moves a damaged one
// aside (never deleting it), creates a fresh store and publishes its rules into it again.
//
// Another process of the user can write the file too. Whenever one has (SQLite's data version
// moved), the agent looks again: schema objects it never creates make the file damaged, and rules
// other than those it published are published again. Each is a finding for tamperingDetected.
class SharedDefaults {
public:
    using TamperingDetected = std::function<void(const std::string& finding)>;

    SharedDefaults(std::filesystem::path storeFile, std::shared_ptr<const Clock> clock, Logger logger,
                   TamperingDetected tamperingDetected);

    // True when the bytes are now the stored rules. Kept either way, and written again into a
    // store that comes back.
    bool setRules(std::string_view bytes);
    void removeRules();
    // Hands each queued browser event, oldest first, to handOver, and removes it from the queue
    // only once handOver has returned: an agent ended in between hands it over again at its next
    // start instead of losing it. The receipt names the queued entry (its place and its text), so
    // that a receiver that kept the receipt with the event can tell it is being handed the same
    // entry again. Entries that are not JSON objects are removed and dropped.
    void drainEventQueue(const std::function<void(const nlohmann::json& event, const std::string& receipt)>& handOver);
    // The same, collected; empty when the store cannot be used.
    std::vector<nlohmann::json> drainEventQueue();

private:
    // What this agent last did to "rules", for a store that has to be written again.
    struct Published {
        // Absent after a removal.
        std::optional<std::string> rules;
    };

    SharedStore* connection();
    // On a connection that holds the file: whether another process left it damaged or changed
    // the rules, each reported, and the rules published again. False when the file must be rebuilt.
    bool keepsWhatWasPublished(SharedStore& store);
    // Runs use (returning an optional Error) on the store; when it fails in a way that may come
    // from a damaged file, runs it once more on a fresh connection. False when it did not succeed;
    // failures are reported with failureFormat.
    template <typename Use>
    bool withStore(std::string_view failureFormat, Use use);
    [[nodiscard]] std::optional<Error> republish(SharedStore& store);
    void dropConnection();
    std::string asideStamp() const;
    void reportFailure(std::string_view format, const Error& error);
    void reportSuccess() { lastFailure_.clear(); }

    std::filesystem::path storeFile_;
    std::shared_ptr<const Clock> clock_;
    Logger logger_;
    TamperingDetected tamperingDetected_;
    std::unique_ptr<SharedStore> store_;
    // The connection's data version when it last looked; absent before the first look.
    std::optional<std::int64_t> dataVersion_;
    // The next examination of the file is to find it damaged: it held objects the store never creates.
    bool tampered_ = false;
    std::optional<Published> published_;
    // The path stopped holding the file this agent had open; cleared once a store is back.
    bool lost_ = false;
    // The WAL and index at the path still belong to the file that left it.
    bool staleJournals_ = false;
    // Where a damaged store went, until the fresh one exists.
    std::optional<std::filesystem::path> movedAside_;
    std::string lastFailure_;
};

}  // namespace tessary
