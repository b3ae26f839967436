#pragma once

namespace tessary {

// The process's limit on open descriptors. The soft limit many sessions start with (1024) is
// meant for programs that use select(); the agent watches processes and sockets with poll.
class FileDescriptorLimit {
public:
    // Raises the soft limit to the hard one. Returns the soft limit in force afterwards.
    static long raiseToHardLimit();
};

}  // namespace tessary
