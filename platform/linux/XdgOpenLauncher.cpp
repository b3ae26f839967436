#include "platform/linux/XdgOpenLauncher.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessary {

XdgOpenLauncher::XdgOpenLauncher(std::string opener) : opener_(std::move(opener)) {}

void XdgOpenLauncher::open(const std::string& urlOrPath)
{
    // Everything the grandchild needs is prepared before fork: only async-signal-safe calls follow.
    const char* argv[] = {opener_.c_str(), urlOrPath.c_str(), nullptr};
    const pid_t child = ::fork();
    if (child < 0)
        return;
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvp(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    // The intermediate child exits at once; reaping it is the only wait.
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace tessary
