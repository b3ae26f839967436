#pragma once

#include <optional>
#include <sys/types.h>

#include "platform/linux/ScopedFd.h"

namespace tessary {

// A process descriptor: it names one process for as long as it is open, so a signal sent
// through it can never reach a later process that took the same PID.
class Pidfd {
public:
    // Absent when no process has this PID (or it cannot be opened).
    static std::optional<Pidfd> open(pid_t pid);

    // Takes ownership of a descriptor that becomes readable when its process exits.
    explicit Pidfd(int fd) : fd_(fd) {}

    int descriptor() const { return fd_.get(); }
    // Readable (for poll) once the process has exited.
    bool hasExited() const;
    // SIGKILL through the descriptor. False when the process has already exited.
    bool kill() const;

private:
    ScopedFd fd_;
};

}  // namespace tessary
