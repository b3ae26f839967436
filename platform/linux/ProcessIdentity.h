#pragma once

#include <cstdint>
#include <sys/types.h>

namespace tessary {

// One process for the life of the system: its PID together with its start time, so a PID
// handed to a later process is never mistaken for the recorded one.
struct ProcessIdentity {
    pid_t pid = 0;
    std::uint64_t startTime = 0;

    bool operator==(const ProcessIdentity&) const = default;
};

}  // namespace tessary
