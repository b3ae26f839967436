#include "platform/linux/FlockInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tessary {

FlockInstanceLock::FlockInstanceLock(std::filesystem::path file) : file_(std::move(file)) {}

FlockInstanceLock::~FlockInstanceLock()
{
    release();
}

void FlockInstanceLock::release()
{
    // Closing the only descriptor of the open file drops the lock.
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool FlockInstanceLock::tryAcquire()
{
    if (fd_ >= 0)
        return true;
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace tessary
