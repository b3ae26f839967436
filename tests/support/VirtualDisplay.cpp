#include "tests/support/VirtualDisplay.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tessary::testing {

using namespace std::chrono_literals;

namespace {

std::optional<int> readDisplayNumber(int fd, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms)
            return std::nullopt;
        pollfd waiting{fd, POLLIN, 0};
        const int polled = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return std::nullopt;
        char chunk[32];
        const auto n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return std::atoi(text.c_str());
}

}  // namespace

std::optional<std::filesystem::path> findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const auto end = std::min(folders.find(':', start), folders.size());
        const auto candidate = std::filesystem::path(folders.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

VirtualDisplay::VirtualDisplay(const std::filesystem::path& program)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return;
    ::fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
    const auto writeFd = std::to_string(pipeFds[1]);
    std::string programText = program.string();
    std::vector<std::string> arguments = {programText, "-displayfd", writeFd, "-screen", "0", "1024x768x24",
                                          "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, programText.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    ::close(pipeFds[1]);
    if (pid_ > 0)
        number_ = readDisplayNumber(pipeFds[0], 10s);
    ::close(pipeFds[0]);
    if (number_ && !waitForSocket(10s))
        number_.reset();
}

VirtualDisplay::~VirtualDisplay()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

bool VirtualDisplay::waitForSocket(std::chrono::milliseconds limit) const
{
    const auto socket = std::filesystem::path("/tmp/.X11-unix") / ("X" + std::to_string(*number_));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!std::filesystem::exists(socket)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace tessary::testing
