#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "agent/service/APIError.h"
#include "platform/Expected.h"

namespace tessary {

// Why an API client operation failed: the transport (passed through), the service's status
// (an APIError), or a body that did not decode. Every kind carries the text a caller shows or
// stores as the last error.
struct APIFailure {
    enum class Kind { transport, requestFailed, decoding, encoding };

    Kind kind;
    std::string description;
    std::optional<APIError> apiError;  // set for requestFailed only

    static APIFailure transport(const Error& error) { return {Kind::transport, error.description, std::nullopt}; }
    static APIFailure requestFailed(std::int64_t statusCode)
    {
        const auto error = APIError::requestFailed(statusCode);
        return {Kind::requestFailed, error.description(), error};
    }
    static APIFailure decoding(const Error& error) { return {Kind::decoding, error.description, std::nullopt}; }
    static APIFailure encoding(const Error& error) { return {Kind::encoding, error.description, std::nullopt}; }

    // The service no longer knows this device's token.
    bool isDeauthorization() const { return apiError && apiError->isDeauthorization(); }
    Error asError() const { return Error{description}; }
};

}  // namespace tessary
