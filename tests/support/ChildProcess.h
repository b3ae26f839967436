#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessary::testing {

// A real child process for integration tests: arguments, extra environment, optional standard
// input, standard output (and, when asked, standard error) captured through one pipe. Killed and
// reaped on destruction.
class ChildProcess {
public:
    enum class Capture { standardOutput, standardOutputAndError };

    ChildProcess(std::vector<std::string> arguments, std::map<std::string, std::string> environment = {},
                 std::optional<std::string> standardInput = std::nullopt,
                 Capture capture = Capture::standardOutput);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Reads standard output up to the first newline (without it); absent at end of output or
    // when no whole line came within the limit.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Reads standard output to its end.
    std::string readAll();
    // Waits for exit; the exit status, or -1 when it was killed by a signal.
    int wait();
    void kill();

    // Runs a program to completion: its exit status and standard output.
    static std::pair<int, std::string> run(std::vector<std::string> arguments,
                                           std::map<std::string, std::string> environment = {},
                                           std::optional<std::string> standardInput = std::nullopt);

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string buffered_;
    bool reaped_ = false;
    int status_ = -1;
};

}  // namespace tessary::testing
