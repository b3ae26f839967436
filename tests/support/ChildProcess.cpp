#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "tests/support/SpawnArguments.h"

namespace tessary::testing {

ChildProcess::ChildProcess(std::vector<std::string> arguments, std::map<std::string, std::string> environment,
                           std::optional<std::string> standardInput, Capture capture)
{
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return;
    const auto spawned =
        spawnWithOutputPipe(std::move(arguments), environment, in[0], capture == Capture::standardOutputAndError);
    pid_ = spawned.pid;
    stdoutFd_ = spawned.output;
    ::close(in[0]);
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

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            auto line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{stdoutFd_, POLLIN, 0};
        const int polled = left.count() > 0 ? ::poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled == 0)
            return std::nullopt;
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
