#pragma once

#include <optional>

#include "platform/Expected.h"

namespace tessary {

// Starts the agent when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // Absent on success, otherwise why registration failed.
    virtual std::optional<Error> registerAgent() = 0;
};

}  // namespace tessary
