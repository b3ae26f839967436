#pragma once

#include <filesystem>

#include "platform/LaunchOrigin.h"

namespace tessary {

// Who started this process, from the marks its starter left in the environment and in the name
// of the unit systemd runs it in.
class LaunchEnvironment {
public:
    static LaunchOrigin origin(const std::filesystem::path& ownCgroupFile = "/proc/self/cgroup");
};

}  // namespace tessary
