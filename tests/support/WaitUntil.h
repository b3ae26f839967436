#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

namespace tessary::testing {

// Checks the condition every 20 ms until it holds or the real-time limit passes; for conditions
// that other processes bring about. True when it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// Waits, bounded, until the process has exited (a child of ours then stays a zombie until it is
// reaped). True when it exited in time.
bool waitForExit(pid_t pid, std::chrono::milliseconds limit);

// Sends SIGSTOP and waits, bounded, until every thread has stopped. The signal wakes one thread,
// which stops the others only once it runs; until then another thread may still answer a request.
// True when all stopped in time.
bool stopProcess(pid_t pid, std::chrono::milliseconds limit);

// Whether a file whose path holds `fileName` is mapped into the process (a library it loaded).
bool processMaps(pid_t pid, const std::string& fileName);

// A child of the process running the program named `programFileName`; 0 when there is none.
pid_t childRunning(pid_t pid, const std::string& programFileName);

}  // namespace tessary::testing
