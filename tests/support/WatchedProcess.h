#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tessary::testing {

// A real child process that keeps running while a thread of ours collects the lines it writes to
// standard output and standard error (one pipe, in order), so a test can wait for a line with a
// deadline. The environment given is added to ours. Killed (SIGKILL) and reaped on destruction.
class WatchedProcess {
public:
    WatchedProcess(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment);
    ~WatchedProcess();
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The first line at index `from` or later that contains text, waiting for it up to limit;
    // absent when none came in time or the output ended first.
    std::optional<std::string> waitForLine(const std::string& text, std::chrono::milliseconds limit,
                                           std::size_t from = 0);
    bool hasLine(const std::string& text, std::size_t from = 0) const;
    std::size_t lineCount() const;
    std::vector<std::string> lines() const;
    // Every line so far, for failure messages.
    std::string output() const;

    // Whether the process has ended (without reaping it).
    bool hasExited() const;
    // SIGKILL, then reaps it; the collected lines stay readable.
    void kill();

private:
    void collect();
    std::optional<std::size_t> findLine(const std::string& text, std::size_t from) const;  // caller holds mutex_

    pid_t pid_ = -1;
    bool reaped_ = false;
    int outputFd_ = -1;
    int wakeFd_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
    std::thread reader_;
};

}  // namespace tessary::testing
