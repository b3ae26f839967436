#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Logger.h"
#include "shared/SharedStore.h"

namespace tessary {

// The agent's side of the shared store: one connection kept open while the agent runs (opened on
// first use, opened again after a failure), the published rules and the drain of the browser
// event queue. A store that cannot be used is logged once per distinct failure and never fatal.
class SharedDefaults {
public:
    SharedDefaults(std::filesystem::path storeFile, Logger logger);

    // True when the bytes are now the stored rules.
    bool setRules(std::string_view bytes);
    void removeRules();
    // The queued browser events, oldest first, each delivered once. Entries that are not JSON
    // objects are removed and dropped. Empty when the store cannot be used.
    std::vector<nlohmann::json> drainEventQueue();

private:
    SharedStore* connection();
    void reportFailure(std::string_view format, const Error& error);
    void reportSuccess() { lastFailure_.clear(); }

    std::filesystem::path storeFile_;
    Logger logger_;
    std::unique_ptr<SharedStore> store_;
    std::string lastFailure_;
};

}  // namespace tessary
