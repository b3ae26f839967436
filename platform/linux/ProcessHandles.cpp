#include "platform/linux/ProcessHandles.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/Logger.h"

namespace tessary {

ProcessHandles::ProcessHandles(std::shared_ptr<const ProcFileSystem> proc, Opener opener,
                               std::shared_ptr<LogSink> logSink)
    : proc_(std::move(proc)), opener_(std::move(opener)), logSink_(std::move(logSink))
{
}

ProcessHandles::Opener ProcessHandles::systemOpener()
{
    return [](pid_t pid) { return Pidfd::open(pid); };
}

ProcessHandles::Opened ProcessHandles::openCurrent(pid_t pid) const
{
    errno = 0;
    if (auto descriptor = opener_(pid))
        return Opened{Outcome::opened, std::move(descriptor)};
    const int error = errno;
    // Recent kernels answer ENOENT for a process that has exited but not yet been reaped.
    if (error == ESRCH || error == ENOENT)
        return Opened{Outcome::ended, std::nullopt};
    if (error == EINVAL)
        return Opened{Outcome::thread, std::nullopt};
    noteUnavailable(error);
    // Without a descriptor the kernel no longer tells a thread's ID from a process's.
    const auto leader = proc_->isThreadGroupLeader(pid);
    if (!leader)
        return Opened{Outcome::ended, std::nullopt};
    return Opened{*leader ? Outcome::unavailable : Outcome::thread, std::nullopt};
}

std::optional<Pidfd> ProcessHandles::open(const ProcessIdentity& process) const
{
    auto opened = openCurrent(process.pid);
    // Checked after opening: a descriptor taken while the recorded process still held the
    // PID names that process for good.
    if (!opened.descriptor || !proc_->isRunning(process))
        return std::nullopt;
    return std::move(opened.descriptor);
}

bool ProcessHandles::kill(const ProcessIdentity& process) const
{
    auto opened = openCurrent(process.pid);
    if (opened.descriptor)
        return proc_->isRunning(process) && opened.descriptor->kill();
    // Out of descriptors: a blocked application must still die. The PID is checked just before.
    if (opened.outcome == Outcome::unavailable && proc_->isRunning(process))
        return ::kill(process.pid, SIGKILL) == 0;
    return false;
}

void ProcessHandles::noteUnavailable(int error) const
{
    if (unavailableLogged_.exchange(true) || !logSink_)
        return;
    Logger(logSink_, "app.brenmoor.tessary", "app")
        .error("Cannot open process descriptors (%s); processes are judged without them", {std::strerror(error)});
}

}  // namespace tessary
