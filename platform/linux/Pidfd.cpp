#include "platform/linux/Pidfd.h"

#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace tessary {

std::optional<Pidfd> Pidfd::open(pid_t pid)
{
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0)
        return std::nullopt;
    return Pidfd(static_cast<int>(fd));
}

Pidfd::Pidfd(Pidfd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Pidfd& Pidfd::operator=(Pidfd&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Pidfd::~Pidfd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Pidfd::hasExited() const
{
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

bool Pidfd::kill() const
{
    return ::syscall(SYS_pidfd_send_signal, fd_, SIGKILL, nullptr, 0) == 0;
}

}  // namespace tessary
