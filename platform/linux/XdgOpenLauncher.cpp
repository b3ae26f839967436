#include "platform/linux/XdgOpenLauncher.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/ScopedFd.h"

namespace tessary {
namespace {

// What the watcher writes once: the opener could not be run (errno), or how it ended (wait status).
struct Report {
    enum Kind : int { execFailed = 1, ended = 2 };
    int kind = 0;
    int value = 0;
};

void writeAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

// In the forked watcher: only async-signal-safe calls (ScopedFd calls only close), and it ends in
// _exit, so no destructor runs. The watcher never execs, so it first closes every descriptor of the
// agent but the report's: held here for as long as the opener runs, the instance lock would keep a
// restarted agent from running, and a socket would stay open.
[[noreturn]] void watch(const char* const* argv, ScopedFd& reportEnd, int descriptorLimit)
{
    constexpr int kReportFd = 3;
    if (reportEnd.get() != kReportFd) {
        if (::dup2(reportEnd.get(), kReportFd) < 0)
            ::_exit(0);
        reportEnd.reset(kReportFd);
    }
    // Bare close: the agent's objects own these descriptors, and their copies here are never destroyed.
    if (::close_range(kReportFd + 1, ~0U, 0) != 0)
        for (int fd = kReportFd + 1; fd < descriptorLimit; ++fd)
            ::close(fd);

    // The agent stops reading after a while; a late report must not kill the watcher.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    int execFailure[2];
    if (::pipe2(execFailure, O_CLOEXEC) != 0)
        ::_exit(0);
    ScopedFd failureReadEnd(execFailure[0]), failureWriteEnd(execFailure[1]);
    const pid_t opener = ::fork();
    if (opener < 0)
        ::_exit(0);
    if (opener == 0) {
        failureReadEnd.reset();
        reportEnd.reset();
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &standard, nullptr);
        ::execvp(argv[0], const_cast<char* const*>(argv));
        const int error = errno;
        writeAll(failureWriteEnd.get(), &error, sizeof error);
        ::_exit(127);
    }
    failureWriteEnd.reset();
    Report report;
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(failureReadEnd.get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof error)) {
        report = {Report::execFailed, error};
        while (::waitpid(opener, nullptr, 0) < 0 && errno == EINTR) {
        }
    } else {
        int status = 0;
        while (::waitpid(opener, &status, 0) < 0 && errno == EINTR) {
        }
        report = {Report::ended, status};
    }
    writeAll(reportEnd.get(), &report, sizeof report);
    ::_exit(0);
}

std::optional<Error> failureOf(const Report& report, const std::string& opener)
{
    if (report.kind == Report::execFailed)
        return Error{"cannot run " + opener + ": " + std::strerror(report.value)};
    if (WIFEXITED(report.value) && WEXITSTATUS(report.value) != 0)
        return Error{opener + " ended with status " + std::to_string(WEXITSTATUS(report.value))};
    if (WIFSIGNALED(report.value))
        return Error{opener + " ended by signal " + std::to_string(WTERMSIG(report.value))};
    return std::nullopt;
}

// Polls the report pipe on the main queue until a report, its end, or the time to give up.
struct PendingOpen {
    ScopedFd report;
    std::string opener;
    Launcher::Opened opened;
    // Real time: the opener runs in real time whatever clock the queue keeps.
    std::chrono::steady_clock::time_point giveUpAt;
    Report received;
    std::size_t receivedBytes = 0;
    std::shared_ptr<ScheduledWork> poll;

    // True once told.
    bool check()
    {
        auto* into = reinterpret_cast<char*>(&received);
        while (receivedBytes < sizeof received) {
            const ssize_t got = ::read(report.get(), into + receivedBytes, sizeof received - receivedBytes);
            if (got > 0) {
                receivedBytes += static_cast<std::size_t>(got);
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EAGAIN) {
                if (std::chrono::steady_clock::now() < giveUpAt)
                    return false;
                // Still running after all this time: the opener shows what it opened.
                return tell(std::nullopt);
            }
            // The watcher ended without a whole report; nothing says the opener failed.
            return tell(std::nullopt);
        }
        return tell(failureOf(received, opener));
    }

    bool tell(std::optional<Error> failure)
    {
        report.reset();
        if (opened)
            opened(std::move(failure));
        return true;
    }
};

}  // namespace

XdgOpenLauncher::XdgOpenLauncher(std::shared_ptr<MainQueue> mainQueue, std::string opener,
                                 std::chrono::milliseconds runningCountsAsOpened)
    : mainQueue_(std::move(mainQueue)), opener_(std::move(opener)), runningCountsAsOpened_(runningCountsAsOpened)
{
}

void XdgOpenLauncher::open(const std::string& urlOrPath, Opened opened)
{
    const auto fail = [&](const char* what) {
        auto failure = Error{std::string(what) + ": " + std::strerror(errno)};
        mainQueue_->post([opened = std::move(opened), failure = std::move(failure)] {
            if (opened)
                opened(failure);
        });
    };
    int reportPipe[2];
    if (::pipe2(reportPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail("cannot make a pipe");
    ScopedFd readEnd(reportPipe[0]), writeEnd(reportPipe[1]);
    // The watcher writes with blocking semantics.
    ::fcntl(writeEnd.get(), F_SETFL, 0);

    // Everything the forked processes need is prepared before fork: only async-signal-safe calls follow.
    const char* argv[] = {opener_.c_str(), urlOrPath.c_str(), nullptr};
    const int descriptorLimit = static_cast<int>(std::min<long>(::sysconf(_SC_OPEN_MAX), 1 << 20));
    const pid_t child = ::fork();
    if (child < 0)
        return fail("cannot start the opener");
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        readEnd.reset();
        watch(argv, writeEnd, descriptorLimit);
    }
    writeEnd.reset();
    // The intermediate child exits at once; reaping it is the only wait.
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }

    auto pending = std::make_shared<PendingOpen>();
    pending->report = std::move(readEnd);
    pending->opener = opener_;
    pending->opened = std::move(opened);
    pending->giveUpAt = std::chrono::steady_clock::now() + runningCountsAsOpened_;
    // The repeating work holds the only strong reference; cancelling it lets go.
    pending->poll = mainQueue_->repeatEvery(kPollInterval, [pending] {
        if (pending->report && pending->check())
            pending->poll->cancel();
    });
}

}  // namespace tessary
