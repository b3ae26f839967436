#pragma once

#include <optional>

#include "platform/Expected.h"

namespace tessary {

// Starts the agent when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // Absent on success, otherwise why registration failed.
    [[nodiscard]] virtual std::optional<Error> registerAgent() = 0;
    // True when the computer's administrator has the agent started for every user.
    virtual bool isSystemWide() = 0;
};

}  // namespace tessary
