#include "platform/linux/SystemdWatchdog.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/linux/ScopedFd.h"

namespace tessary {

namespace {

// A decimal number and nothing else; anything the environment holds may be malformed.
std::optional<std::uint64_t> numberIn(const char* text)
{
    if (text == nullptr)
        return std::nullopt;
    const std::string_view digits(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

// The notification protocol: one datagram to the socket NOTIFY_SOCKET names, a path or, after
// "@", an abstract name. Without a manager listening this does nothing; nothing to report either way.
void notify(std::string_view state)
{
    const char* target = std::getenv("NOTIFY_SOCKET");
    if (target == nullptr || (target[0] != '/' && target[0] != '@'))
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(target);
    if (length < 2 || length >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, target, length);
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const ScopedFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    static_cast<void>(::sendto(socket.get(), state.data(), state.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address), size));
}

}  // namespace

SystemdWatchdog::SystemdWatchdog(std::filesystem::path restartNotice) : restartNotice_(std::move(restartNotice)) {}

std::optional<std::chrono::milliseconds> SystemdWatchdog::interval()
{
    // A child started with the agent's environment is not the one watched.
    if (const char* watchedPid = std::getenv("WATCHDOG_PID"); watchedPid != nullptr) {
        const auto pid = numberIn(watchedPid);
        if (!pid || *pid != static_cast<std::uint64_t>(::getpid()))
            return std::nullopt;
    }
    const auto microseconds = numberIn(std::getenv("WATCHDOG_USEC"));
    if (!microseconds || *microseconds < 1000)
        return std::nullopt;
    // Feeding once a day is as good as never having to; the cap keeps the conversion in range.
    constexpr std::uint64_t kLongest = std::chrono::microseconds(std::chrono::hours(24)).count();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::microseconds(std::min(*microseconds, kLongest)));
}

void SystemdWatchdog::notifyRunning()
{
    notify("READY=1");
}

void SystemdWatchdog::feed()
{
    notify("WATCHDOG=1");
}

bool SystemdWatchdog::takeRestartNotice()
{
    std::error_code error;
    return std::filesystem::remove(restartNotice_, error);
}

}  // namespace tessary
