#include "platform/linux/GroupAdminCheck.h"

#include <array>
#include <grp.h>
#include <pwd.h>
#include <string_view>
#include <vector>

namespace tessary {

bool GroupAdminCheck::isAdmin(const std::string& userName)
{
    const passwd* entry = ::getpwnam(userName.c_str());
    if (entry == nullptr)
        return false;
    const gid_t primary = entry->pw_gid;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(userName.c_str(), primary, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(userName.c_str(), primary, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<std::size_t>(count));
    constexpr std::array<std::string_view, 3> kAdminGroups = {"sudo", "wheel", "admin"};
    for (const gid_t gid : groups) {
        const group* g = ::getgrgid(gid);
        if (g == nullptr || g->gr_name == nullptr)
            continue;
        for (const auto name : kAdminGroups)
            if (name == g->gr_name)
                return true;
    }
    return false;
}

}  // namespace tessary
