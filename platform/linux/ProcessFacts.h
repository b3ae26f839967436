#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessary {

// What /proc tells about one process at the moment it was read.
struct ProcessFacts {
    pid_t pid = 0;
    pid_t parentPid = 0;
    // Clock ticks after boot; with the PID it names one process for the life of the system.
    std::uint64_t startTime = 0;
    uid_t uid = 0;
    std::string command;              // the kernel's command name (comm)
    std::filesystem::path executable;  // empty when unreadable (kernel threads, other users)
    std::vector<std::string> arguments;
    std::filesystem::path workingFolder;  // empty when unreadable, as the executable
    std::string cgroup;                // the "0::" line's path
    std::optional<std::string> flatpakId;
};

}  // namespace tessary
