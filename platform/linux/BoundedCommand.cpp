#include "platform/linux/BoundedCommand.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/Pidfd.h"
#include "platform/linux/ScopedFd.h"
#include "platform/linux/SpawnAttributes.h"

extern char** environ;

namespace tessary {

namespace {

pid_t spawn(const std::vector<std::string>& arguments, int outputFd)
{
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    const SpawnAttributes attributes;
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, argv[0], &actions, attributes.get(), argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

std::optional<int> reap(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return std::nullopt;
    if (!WIFEXITED(status))
        return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace

std::optional<BoundedCommand::Result> BoundedCommand::run(const std::vector<std::string>& arguments,
                                                          std::chrono::milliseconds limit)
{
    if (arguments.empty())
        return std::nullopt;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return std::nullopt;
    ScopedFd readEnd(ends[0]);
    ScopedFd writeEnd(ends[1]);
    const pid_t pid = spawn(arguments, writeEnd.get());
    writeEnd.reset();
    if (pid < 0)
        return std::nullopt;
    // The child is ours and not yet reaped, so its PID cannot name another process meanwhile.
    const auto process = Pidfd::open(pid);
    if (!process) {
        ::kill(pid, SIGKILL);
        reap(pid);
        return std::nullopt;
    }
    (void)::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);

    Result result;
    bool endOfOutput = false;
    const auto drain = [&] {
        char buffer[4096];
        for (;;) {
            const auto count = ::read(readEnd.get(), buffer, sizeof buffer);
            if (count > 0) {
                result.output.append(buffer, static_cast<std::size_t>(count));
                continue;
            }
            if (count == 0)
                endOfOutput = true;
            else if (errno == EINTR)
                continue;
            return;
        }
    };
    // Until the child exits; a grandchild that keeps the output open is not waited for.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            reap(pid);
            return std::nullopt;
        }
        pollfd watched[2] = {{endOfOutput ? -1 : readEnd.get(), POLLIN, 0}, {process->descriptor(), POLLIN, 0}};
        if (::poll(watched, 2, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR)
                continue;
            ::kill(pid, SIGKILL);
            reap(pid);
            return std::nullopt;
        }
        if (watched[0].revents != 0)
            drain();
        if (watched[1].revents != 0) {
            if (!endOfOutput)
                drain();
            break;
        }
    }
    const auto status = reap(pid);
    if (!status)
        return std::nullopt;
    result.exitStatus = *status;
    return result;
}

}  // namespace tessary
