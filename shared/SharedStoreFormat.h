#pragma once

#include <filesystem>

#include "platform/Paths.h"

namespace tessary {

// What the agent and both browser components agree on: where the shared store lives, its keys,
// the wake-up's name and the rules a browser uses when none were published.
class SharedStoreFormat {
public:
    static constexpr const char* kSuiteName = "group.app.brenmoor.shared";
    static constexpr const char* kRulesKey = "rules";
    // The queue the browsers append to; its entries are the rows of the store's event_queue table.
    static constexpr const char* kEventQueueKey = "safariEventQueue";
    static constexpr const char* kNotificationName = "app.brenmoor.tessary.safari-event";
    static constexpr const char* kStoreFileName = "store.sqlite3";
    // Compact JSON; a browser answers with it when the store holds no readable rules.
    static constexpr const char* kDefaultRules =
        R"({"mode":"allow","blockedSites":[],"blockedApps":[],"approvedSites":[],"approvedApps":[],"grants":[]})";

    // $XDG_DATA_HOME/group.app.brenmoor.shared/store.sqlite3
    static std::filesystem::path storePath(const Paths& paths);
    // The wake-up socket: in the runtime folder when it exists, else beside the store. Every
    // process decides the same way, so poster and listener meet.
    static std::filesystem::path notificationSocketPath(const Paths& paths);
};

}  // namespace tessary
