#pragma once

#include <optional>
#include <string>

namespace tessary {

class HostFacts {
public:
    virtual ~HostFacts() = default;
    // The computer's name as a person knows it; absent when the system gives none.
    virtual std::optional<std::string> computerName() = 0;
    // The login name of the current user.
    virtual std::string userName() = 0;
};

}  // namespace tessary
