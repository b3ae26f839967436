#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/service/JsonFields.h"

namespace tessary {

// A temporary access grant. The expiry is the service's number, stored and passed on uninterpreted.
struct GrantPayload {
    static constexpr const char* kRecordName = "GrantPayload";

    std::string url;
    std::optional<std::int64_t> expiry;

    static GrantPayload read(const JsonFields& fields);
    nlohmann::json toJson() const;
    bool operator==(const GrantPayload&) const = default;
};

}  // namespace tessary
