#pragma once

#include <filesystem>

#include "platform/InstanceLock.h"
#include "platform/linux/ScopedFd.h"

namespace tessary {

// An exclusive flock on a file in the runtime folder; the kernel drops it when the process dies.
class FlockInstanceLock final : public InstanceLock {
public:
    explicit FlockInstanceLock(std::filesystem::path file);
    FlockInstanceLock(const FlockInstanceLock&) = delete;
    FlockInstanceLock& operator=(const FlockInstanceLock&) = delete;

    bool tryAcquire() override;
    void release() override;

private:
    std::filesystem::path file_;
    ScopedFd fd_;
};

}  // namespace tessary
