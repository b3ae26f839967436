#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "agent/service/JsonFields.h"

namespace tessary {

// The pairing reply. `success` must be present; failure is told by the HTTP status instead.
struct UseSetupCodeResponse {
    static constexpr const char* kRecordName = "UseSetupCodeResponse";

    bool success = false;
    std::string familyId;
    std::string token;

    static UseSetupCodeResponse read(const JsonFields& fields);
    nlohmann::json toJson() const;
    bool operator==(const UseSetupCodeResponse&) const = default;
};

}  // namespace tessary
