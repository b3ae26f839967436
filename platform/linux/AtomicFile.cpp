#include "platform/linux/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

namespace tessary {

namespace {

Error systemError(const std::string& what, const std::filesystem::path& path, int code)
{
    return Error{what + " " + path.string() + ": " + std::strerror(code)};
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

std::optional<Error> AtomicFile::write(const std::filesystem::path& path, std::string_view bytes, mode_t mode)
{
    std::error_code ec;
    const auto folder = path.parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        if (ec)
            return Error{"Could not create " + folder.string() + ": " + ec.message()};
    }
    auto temporary = path;
    temporary += ".tmp-XXXXXX";
    std::string pattern = temporary.string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return systemError("Could not create", temporary, errno);
    const bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(pattern.c_str());
        return systemError("Could not write", path, writeErrno);
    }
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        const int renameErrno = errno;
        ::unlink(pattern.c_str());
        return systemError("Could not replace", path, renameErrno);
    }
    return std::nullopt;
}

std::optional<std::string> AtomicFile::read(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        return std::nullopt;
    return bytes;
}

}  // namespace tessary
