#pragma once

#include <string>

namespace tessary {

class AdminCheck {
public:
    virtual ~AdminCheck() = default;
    // True when the user may administer this computer. False when that cannot be determined.
    virtual bool isAdmin(const std::string& userName) = 0;
};

}  // namespace tessary
