#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/service/GrantPayload.h"
#include "agent/service/JsonFields.h"

namespace tessary {

// The device's complete rule set, as the service sends it and the browsers receive it.
struct RulesPayload {
    static constexpr const char* kRecordName = "RulesPayload";

    std::string mode;
    std::vector<std::string> blockedSites;
    std::vector<std::string> blockedApps;
    std::vector<std::string> approvedSites;
    std::vector<std::string> approvedApps;
    std::vector<GrantPayload> grants;

    static RulesPayload read(const JsonFields& fields);
    nlohmann::json toJson() const;
    bool operator==(const RulesPayload&) const = default;
};

}  // namespace tessary
