#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace tessary {

// A piece of work scheduled for later; cancelling it (on the main thread) guarantees it will not run.
class ScheduledWork {
public:
    virtual ~ScheduledWork() = default;
    virtual void cancel() = 0;
};

// The main thread's queue: everything touching the delegate, its state and the views runs here.
class MainQueue {
public:
    using Task = std::function<void()>;

    virtual ~MainQueue() = default;

    // Safe from any thread.
    virtual void post(Task task) = 0;
    // Main thread only. The returned work runs once after the delay unless cancelled first.
    virtual std::shared_ptr<ScheduledWork> postAfter(std::chrono::milliseconds delay, Task task) = 0;
    // Main thread only. Runs every interval (first after one interval) until cancelled.
    virtual std::shared_ptr<ScheduledWork> repeatEvery(std::chrono::milliseconds interval, Task task) = 0;
};

}  // namespace tessary
