#pragma once

#include <atomic>

#include "platform/linux/ScopedFd.h"

namespace tessary {

// Tells waits on another thread to give up. raise() may come from any thread: it sets a flag that
// every later check sees and makes fd() readable, so a poll() that includes fd() wakes at once.
// Once raised it stays raised (the descriptor is never read).
class StopSignal {
public:
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void raise();
    bool raised() const { return raised_.load(); }
    // For poll() with POLLIN; -1 when no eventfd could be made (waiters then see the flag only).
    int fd() const { return wake_.get(); }

private:
    std::atomic<bool> raised_{false};
    ScopedFd wake_;
};

}  // namespace tessary
