#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/service/JsonFields.h"

namespace tessary {

// One observed activity, sent inside an "activity" message.
struct ActivityEvent {
    static constexpr const char* kRecordName = "ActivityEvent";

    std::string type;
    std::optional<std::string> domain;
    std::optional<std::string> url;
    std::optional<std::string> appName;
    std::optional<std::string> bundleId;
    std::int64_t ts = 0;

    static ActivityEvent read(const JsonFields& fields);
    nlohmann::json toJson() const;
    bool operator==(const ActivityEvent&) const = default;
};

}  // namespace tessary
