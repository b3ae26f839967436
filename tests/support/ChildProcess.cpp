#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tessary::testing {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra)
{
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : extra)
        merged[key] = value;
    std::vector<std::string> out;
    for (const auto& [key, value] : merged)
        out.push_back(key + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

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
    auto env = mergedEnvironment(environment);
    auto argv = pointers(arguments);
    auto envp = pointers(env);
    if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
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
