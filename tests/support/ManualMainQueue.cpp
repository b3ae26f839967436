#include "tests/support/ManualMainQueue.h"

#include <algorithm>

namespace tessary::testing {

struct ManualMainQueue::Timer {
    Task task;
    std::chrono::milliseconds interval{0};  // zero for one-shot work
    bool cancelled = false;
};

class ManualMainQueue::Handle final : public ScheduledWork {
public:
    explicit Handle(std::shared_ptr<Timer> timer) : timer_(std::move(timer)) {}
    void cancel() override
    {
        if (auto timer = timer_.lock())
            timer->cancelled = true;
    }

private:
    std::weak_ptr<Timer> timer_;
};

void ManualMainQueue::post(Task task)
{
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    posted_.notify_all();
}

std::shared_ptr<ScheduledWork> ManualMainQueue::postAfter(std::chrono::milliseconds delay, Task task)
{
    return schedule(delay, std::chrono::milliseconds(0), std::move(task));
}

std::shared_ptr<ScheduledWork> ManualMainQueue::repeatEvery(std::chrono::milliseconds interval, Task task)
{
    return schedule(interval, interval, std::move(task));
}

std::shared_ptr<ScheduledWork> ManualMainQueue::schedule(std::chrono::milliseconds delay,
                                                         std::chrono::milliseconds interval, Task task)
{
    auto timer = std::make_shared<Timer>(Timer{std::move(task), interval, false});
    const std::lock_guard lock(mutex_);
    timers_.emplace(std::make_pair(now_ + delay, nextSequence_++), timer);
    return std::make_shared<Handle>(timer);
}

bool ManualMainQueue::runOnePosted()
{
    Task task;
    {
        const std::lock_guard lock(mutex_);
        if (queue_.empty())
            return false;
        task = std::move(queue_.front());
        queue_.pop_front();
    }
    task();
    return true;
}

std::size_t ManualMainQueue::runUntilIdle()
{
    std::size_t ran = 0;
    while (runOnePosted())
        ++ran;
    return ran;
}

void ManualMainQueue::advance(std::chrono::milliseconds duration)
{
    const auto target = now_ + duration;
    runUntilIdle();
    while (true) {
        std::shared_ptr<Timer> timer;
        {
            const std::lock_guard lock(mutex_);
            // Drop cancelled timers first so they never hold up the clock.
            while (!timers_.empty() && timers_.begin()->second->cancelled)
                timers_.erase(timers_.begin());
            if (timers_.empty() || timers_.begin()->first.first > target)
                break;
            now_ = timers_.begin()->first.first;
            timer = timers_.begin()->second;
            timers_.erase(timers_.begin());
            if (timer->interval.count() > 0)
                timers_.emplace(std::make_pair(now_ + timer->interval, nextSequence_++), timer);
        }
        timer->task();
        runUntilIdle();
    }
    now_ = target;
}

std::size_t ManualMainQueue::pendingTimers() const
{
    const std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [due, timer] : timers_)
        if (!timer->cancelled)
            ++count;
    return count;
}

bool ManualMainQueue::waitForPosted(std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, limit, [this] { return !queue_.empty(); });
}

bool ManualMainQueue::runUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        runUntilIdle();
        if (condition())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // Polls too: a condition may turn true without anything being posted.
        waitForPosted(std::min(left, std::chrono::milliseconds(20)));
    }
}

}  // namespace tessary::testing
