#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "agent/service/JsonFields.h"

namespace tessary {

// The published release; its build is compared as plain text with the running build.
struct VersionInfo {
    static constexpr const char* kRecordName = "VersionInfo";

    std::string version;
    std::string build;

    static VersionInfo read(const JsonFields& fields);
    nlohmann::json toJson() const;
    bool operator==(const VersionInfo&) const = default;
};

}  // namespace tessary
