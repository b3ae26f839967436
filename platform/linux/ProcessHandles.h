#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "platform/LogSink.h"
#include "platform/linux/Pidfd.h"
#include "platform/linux/ProcFileSystem.h"
#include "platform/linux/ProcessIdentity.h"

namespace tessary {

// Reaches recorded processes through process descriptors, checking each descriptor against the
// recorded start time. Shared by the watcher's thread and the applications it hands out, so
// safe from any thread and free of state beyond a log-once flag.
class ProcessHandles {
public:
    // Opens a descriptor for a PID; absent with errno set (ESRCH: no such process, EINVAL: a
    // thread's ID, EMFILE or ENFILE: out of descriptors).
    using Opener = std::function<std::optional<Pidfd>(pid_t)>;

    ProcessHandles(std::shared_ptr<const ProcFileSystem> proc, Opener opener, std::shared_ptr<LogSink> logSink);

    enum class Outcome { opened, ended, thread, unavailable };
    struct Opened {
        Outcome outcome;
        std::optional<Pidfd> descriptor;
    };
    // A descriptor for whatever process holds the PID now. When none can be had for want of
    // descriptors, says so (logged once) so the caller can still judge the process without one.
    Opened openCurrent(pid_t pid) const;
    // A descriptor for the recorded process, absent when it has ended or none can be opened.
    std::optional<Pidfd> open(const ProcessIdentity& process) const;
    // SIGKILL to the recorded process, never to a later holder of its PID.
    bool kill(const ProcessIdentity& process) const;
    const ProcFileSystem& proc() const { return *proc_; }

    // The system's process descriptors.
    static Opener systemOpener();

private:
    void noteUnavailable(int error) const;

    std::shared_ptr<const ProcFileSystem> proc_;
    Opener opener_;
    std::shared_ptr<LogSink> logSink_;
    mutable std::atomic<bool> unavailableLogged_{false};
};

}  // namespace tessary
