#include "platform/linux/FileDescriptorOutput.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace tessary {

FileDescriptorOutput FileDescriptorOutput::standardOutput()
{
    std::signal(SIGPIPE, SIG_IGN);
    return FileDescriptorOutput(1);
}

bool FileDescriptorOutput::writeAll(std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace tessary
