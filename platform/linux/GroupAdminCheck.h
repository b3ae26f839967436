#pragma once

#include "platform/AdminCheck.h"

namespace tessary {

// A user is an administrator when one of their groups is sudo, wheel or admin.
class GroupAdminCheck final : public AdminCheck {
public:
    bool isAdmin(const std::string& userName) override;
};

}  // namespace tessary
