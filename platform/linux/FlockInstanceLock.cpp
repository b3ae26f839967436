#include "platform/linux/FlockInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>

namespace tessary {

FlockInstanceLock::FlockInstanceLock(std::filesystem::path file) : file_(std::move(file)) {}

void FlockInstanceLock::release()
{
    // Closing the only descriptor of the open file drops the lock.
    fd_.reset();
}

bool FlockInstanceLock::tryAcquire()
{
    if (fd_)
        return true;
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    ScopedFd fd(::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return false;
    fd_ = std::move(fd);
    return true;
}

}  // namespace tessary
