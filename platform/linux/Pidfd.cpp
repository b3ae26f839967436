#include "platform/linux/Pidfd.h"

#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tessary {

std::optional<Pidfd> Pidfd::open(pid_t pid)
{
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0)
        return std::nullopt;
    return Pidfd(static_cast<int>(fd));
}

bool Pidfd::hasExited() const
{
    pollfd entry{fd_.get(), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

bool Pidfd::kill() const
{
    return ::syscall(SYS_pidfd_send_signal, fd_.get(), SIGKILL, nullptr, 0) == 0;
}

}  // namespace tessary
