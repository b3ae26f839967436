#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/MainQueue.h"

namespace tessary::testing {

// The main queue in virtual time: nothing runs until the test drains it or advances the clock.
// post() is safe from other threads; everything else belongs to the test's thread.
class ManualMainQueue final : public MainQueue {
public:
    void post(Task task) override;
    std::shared_ptr<ScheduledWork> postAfter(std::chrono::milliseconds delay, Task task) override;
    std::shared_ptr<ScheduledWork> repeatEvery(std::chrono::milliseconds interval, Task task) override;

    // Runs posted work (and work it posts) until none is left. Returns how many tasks ran.
    std::size_t runUntilIdle();
    // Moves virtual time forward, running every timer that falls due, in order of due time.
    void advance(std::chrono::milliseconds duration);
    std::chrono::milliseconds now() const { return now_; }
    // Timers not yet cancelled or run.
    std::size_t pendingTimers() const;
    // Waits (in real time, bounded) until another thread has posted work; for tests of threaded code.
    bool waitForPosted(std::chrono::milliseconds limit);
    // Runs posted work until the condition holds or the real-time limit passes; false on timeout.
    bool runUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    struct Timer;
    class Handle;

    std::shared_ptr<ScheduledWork> schedule(std::chrono::milliseconds delay, std::chrono::milliseconds interval,
                                            Task task);
    bool runOnePosted();

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> queue_;
    std::chrono::milliseconds now_{0};
    std::uint64_t nextSequence_ = 0;
    // Ordered by (due time, scheduling order), so timers due together run in the order they were set.
    std::map<std::pair<std::chrono::milliseconds, std::uint64_t>, std::shared_ptr<Timer>> timers_;
};

}  // namespace tessary::testing
