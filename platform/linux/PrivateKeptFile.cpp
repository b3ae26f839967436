#include "platform/linux/PrivateKeptFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/AtomicFile.h"
#include "platform/linux/ScopedFd.h"

namespace tessary {

PrivateKeptFile::PrivateKeptFile(std::filesystem::path path, std::uintmax_t largestSize)
    : path_(std::move(path)), largestSize_(largestSize)
{
}

std::optional<std::string> PrivateKeptFile::read()
{
    // Whoever can write the folder could put a link to a device or a pipe, or an endless file, in
    // the file's place: only a regular file is read, and never past the largest the agent writes.
    const ScopedFd file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uintmax_t>(status.st_size) > largestSize_)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    while (bytes.size() <= largestSize_) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return std::nullopt;
}

std::optional<Error> PrivateKeptFile::write(std::string_view bytes)
{
    return AtomicFile::write(path_, bytes, 0600);
}

void PrivateKeptFile::remove()
{
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

}  // namespace tessary
