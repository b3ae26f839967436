#include "platform/linux/DatagramNotificationPoster.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/linux/ScopedFd.h"

namespace tessary {

void DatagramNotificationPoster::post()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto& path = socketPath_.native();
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const ScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return;
    const char wake = '!';
    // The result is deliberately ignored: a missing or busy listener loses only a wake-up.
    [[maybe_unused]] const auto sent = ::sendto(fd.get(), &wake, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                                                reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

}  // namespace tessary
