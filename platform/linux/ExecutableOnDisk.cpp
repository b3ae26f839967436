#include "platform/linux/ExecutableOnDisk.h"

#include <sys/stat.h>

namespace tessary {

ExecutableOnDisk::ExecutableOnDisk(std::filesystem::path installed, const std::filesystem::path& running)
    : installed_(std::move(installed)), running_(identityOf(running))
{
}

std::optional<ExecutableOnDisk::Identity> ExecutableOnDisk::identityOf(const std::filesystem::path& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return Identity{status.st_dev, status.st_ino};
}

bool ExecutableOnDisk::isReplaced()
{
    const auto installed = identityOf(installed_);
    return running_ && installed && *installed != *running_;
}

}  // namespace tessary
