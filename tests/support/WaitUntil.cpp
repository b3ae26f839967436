#include "tests/support/WaitUntil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <thread>

#include "platform/linux/Pidfd.h"

namespace tessary::testing {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool waitForExit(pid_t pid, std::chrono::milliseconds limit)
{
    const auto process = Pidfd::open(pid);
    if (!process)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{process->descriptor(), POLLIN, 0};
        const int ready =
            ::poll(&entry, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

bool stopProcess(pid_t pid, std::chrono::milliseconds limit)
{
    if (::kill(pid, SIGSTOP) != 0)
        return false;
    const auto tasks = std::filesystem::path("/proc") / std::to_string(pid) / "task";
    return waitUntil(
        [&tasks] {
            std::error_code error;
            for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
                // The state follows the parenthesised name, which may itself hold ") ".
                std::ifstream stat(task.path() / "stat");
                const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
                const auto nameEnd = line.rfind(") ");
                if (nameEnd == std::string::npos || nameEnd + 2 >= line.size() || line[nameEnd + 2] != 'T')
                    return false;
            }
            return !error;
        },
        limit);
}

bool processMaps(pid_t pid, const std::string& fileName)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(fileName) != std::string::npos)
            return true;
    return false;
}

pid_t childRunning(pid_t pid, const std::string& programFileName)
{
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream children(task.path() / "children");
        pid_t child = 0;
        while (children >> child) {
            const auto program = std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/exe", error);
            if (!error && program.filename() == programFileName)
                return child;
        }
    }
    return 0;
}

}  // namespace tessary::testing
