#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/service/JsonFields.h"

namespace tessary {

struct HeartbeatResponse {
    static constexpr const char* kRecordName = "HeartbeatResponse";

    bool ok = false;
    bool updateAvailable = false;
    std::optional<std::string> latestVersion;
    std::optional<std::string> downloadUrl;

    static HeartbeatResponse read(const JsonFields& fields);
    nlohmann::json toJson() const;
    bool operator==(const HeartbeatResponse&) const = default;
};

}  // namespace tessary
