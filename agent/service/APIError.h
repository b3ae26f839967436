#pragma once

#include <cstdint>
#include <string>

#include "platform/Expected.h"

namespace tessary {

// The service answered outside 200-299 (statusCode), or with something that is not HTTP (-1).
struct APIError {
    std::int64_t statusCode = -1;

    static APIError requestFailed(std::int64_t statusCode) { return APIError{statusCode}; }
    bool isDeauthorization() const { return statusCode == 401; }
    // The generic description shown to the user and sent as the last error.
    std::string description() const;
    Error asError() const { return Error{description()}; }
    bool operator==(const APIError&) const = default;
};

}  // namespace tessary
