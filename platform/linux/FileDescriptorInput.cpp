#include "platform/linux/FileDescriptorInput.h"

#include <cerrno>
#include <unistd.h>

namespace tessary {

std::string FileDescriptorInput::readUpTo(std::size_t count)
{
    std::string bytes(count, '\0');
    std::size_t filled = 0;
    while (filled < count) {
        const auto got = ::read(fd_, bytes.data() + filled, count - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return bytes;
}

}  // namespace tessary
