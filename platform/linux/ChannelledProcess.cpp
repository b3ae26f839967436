#include "platform/linux/ChannelledProcess.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "platform/linux/SpawnAttributes.h"

extern char** environ;

namespace tessary {

std::optional<ChannelledProcess> ChannelledProcess::start(const std::filesystem::path& program,
                                                          const std::vector<std::string>& arguments)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return std::nullopt;
    ScopedFd ours(ends[0]);
    ScopedFd theirs(ends[1]);
    // dup2 onto itself would keep close-on-exec set, so the helper's end must not already be 3.
    if (theirs.get() == kChannelDescriptor)
        theirs.reset(::fcntl(kChannelDescriptor, F_DUPFD_CLOEXEC, kChannelDescriptor + 1));
    if (!theirs || ::fcntl(ours.get(), F_SETFL, O_NONBLOCK) != 0)
        return std::nullopt;

    std::vector<std::string> argumentStrings{program.string()};
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStrings)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), kChannelDescriptor);
    const SpawnAttributes attributes;
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, attributes.get(), argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return std::nullopt;
    // The child is ours and not yet reaped, so its PID cannot name another process meanwhile.
    auto process = Pidfd::open(pid);
    if (!process) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return std::nullopt;
    }
    return ChannelledProcess(std::move(ours), std::move(*process));
}

bool ChannelledProcess::reap() const
{
    siginfo_t info{};
    return ::waitid(P_PIDFD, static_cast<id_t>(process_.descriptor()), &info, WEXITED | WNOHANG) == 0 &&
           info.si_pid != 0;
}

}  // namespace tessary
