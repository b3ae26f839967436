#pragma once

#include <filesystem>

#include "platform/InstanceLock.h"

namespace tessary {

// An exclusive flock on a file in the runtime folder; the kernel drops it when the process dies.
class FlockInstanceLock final : public InstanceLock {
public:
    explicit FlockInstanceLock(std::filesystem::path file);
    ~FlockInstanceLock() override;
    FlockInstanceLock(const FlockInstanceLock&) = delete;
    FlockInstanceLock& operator=(const FlockInstanceLock&) = delete;

    bool tryAcquire() override;
    void release() override;

private:
    std::filesystem::path file_;
    int fd_ = -1;
};

}  // namespace tessary
