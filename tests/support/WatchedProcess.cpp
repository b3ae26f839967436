#include "tests/support/WatchedProcess.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/SpawnArguments.h"

namespace tessary::testing {

WatchedProcess::WatchedProcess(std::vector<std::string> arguments,
                               const std::map<std::string, std::string>& environment)
{
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const auto spawned = spawnWithOutputPipe(std::move(arguments), environment, devNull, true);
    if (devNull >= 0)
        ::close(devNull);
    pid_ = spawned.pid;
    outputFd_ = spawned.output;
    if (outputFd_ < 0)
        return;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    reader_ = std::thread([this] { collect(); });
}

WatchedProcess::~WatchedProcess()
{
    kill();
    // A descendant that inherited the pipe may keep it open: the reader is told to stop instead.
    if (reader_.joinable()) {
        const std::uint64_t one = 1;
        // An eventfd write fails only when its counter is full, and a full counter wakes the reader too.
        if (::write(wakeFd_, &one, sizeof one) < 0) {
        }
        reader_.join();
    }
    for (const int fd : {outputFd_, wakeFd_})
        if (fd >= 0)
            ::close(fd);
}

void WatchedProcess::collect()
{
    std::string partial;
    std::array<char, 4096> chunk{};
    while (true) {
        std::array<pollfd, 2> descriptors{pollfd{outputFd_, POLLIN, 0}, pollfd{wakeFd_, POLLIN, 0}};
        if (::poll(descriptors.data(), descriptors.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if ((descriptors[1].revents & POLLIN) != 0)
            break;
        const auto n = ::read(outputFd_, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        partial.append(chunk.data(), static_cast<std::size_t>(n));
        std::vector<std::string> complete;
        for (auto newline = partial.find('\n'); newline != std::string::npos; newline = partial.find('\n')) {
            complete.push_back(partial.substr(0, newline));
            partial.erase(0, newline + 1);
        }
        if (!complete.empty()) {
            const std::lock_guard lock(mutex_);
            lines_.insert(lines_.end(), complete.begin(), complete.end());
            changed_.notify_all();
        }
    }
    const std::lock_guard lock(mutex_);
    if (!partial.empty())
        lines_.push_back(partial);
    ended_ = true;
    changed_.notify_all();
}

std::optional<std::size_t> WatchedProcess::findLine(const std::string& text, std::size_t from) const
{
    for (std::size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].find(text) != std::string::npos)
            return i;
    return std::nullopt;
}

std::optional<std::string> WatchedProcess::waitForLine(const std::string& text, std::chrono::milliseconds limit,
                                                       std::size_t from)
{
    std::unique_lock lock(mutex_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, limit, [&] {
        found = findLine(text, from);
        return found.has_value() || ended_;
    });
    if (!found)
        return std::nullopt;
    return lines_[*found];
}

bool WatchedProcess::hasLine(const std::string& text, std::size_t from) const
{
    const std::lock_guard lock(mutex_);
    return findLine(text, from).has_value();
}

std::size_t WatchedProcess::lineCount() const
{
    const std::lock_guard lock(mutex_);
    return lines_.size();
}

std::vector<std::string> WatchedProcess::lines() const
{
    const std::lock_guard lock(mutex_);
    return lines_;
}

std::string WatchedProcess::output() const
{
    std::string all;
    for (const auto& line : lines())
        all += line + "\n";
    return all;
}

bool WatchedProcess::hasExited() const
{
    if (pid_ <= 0 || reaped_)
        return true;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

void WatchedProcess::kill()
{
    if (pid_ <= 0 || reaped_)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

}  // namespace tessary::testing
