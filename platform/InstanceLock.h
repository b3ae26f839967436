#pragma once

namespace tessary {

// Held for the life of the process; a second agent of the same user cannot take it.
class InstanceLock {
public:
    virtual ~InstanceLock() = default;
    // True when this process now holds the lock (or already did).
    virtual bool tryAcquire() = 0;
    // Lets another copy take the lock, for a copy that hands the running over and leaves.
    virtual void release() = 0;
};

}  // namespace tessary
