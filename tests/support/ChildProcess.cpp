#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "tests/support/SpawnArguments.h"

namespace tessary::testing {

ChildProcess::ChildProcess(std::vector<std::string> arguments, std::map<std::string, std::string> environment,
                           std::optional<std::string> standardInput, Capture capture)
{
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (capture == Capture::standardOutputAndError)
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    SpawnArguments spawn(arguments, environment);
    if (::posix_spawnp(&pid_, spawn.argv()[0], &actions, nullptr, spawn.argv(), spawn.envp()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdoutFd_ = out[0];
    if (standardInput && pid_ > 0) {
        const auto* data = standardInput->data();
        auto left = standardInput->size();
        while (left > 0) {
            const auto written = ::write(in[1], data, left);
            if (written <= 0)
                break;
            data += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    ::close(in[1]);
}

ChildProcess::~ChildProcess()
{
    kill();
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
}

std::optional<std::string> ChildProcess::readLine()
{
    while (true) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            auto line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        char chunk[4096];
        const auto n = ::read(stdoutFd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (buffered_.empty())
                return std::nullopt;
            return std::exchange(buffered_, {});
        }
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string ChildProcess::readAll()
{
    std::string all = std::exchange(buffered_, {});
    char chunk[4096];
    while (true) {
        const auto n = ::read(stdoutFd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

int ChildProcess::wait()
{
    if (pid_ <= 0)
        return -1;
    if (!reaped_) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_;
}

void ChildProcess::kill()
{
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

std::pair<int, std::string> ChildProcess::run(std::vector<std::string> arguments,
                                              std::map<std::string, std::string> environment,
                                              std::optional<std::string> standardInput)
{
    ChildProcess child(std::move(arguments), std::move(environment), std::move(standardInput));
    auto output = child.readAll();
    return {child.wait(), std::move(output)};
}

}  // namespace tessary::testing
