#include "platform/linux/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/ScopedFd.h"

namespace tessary {

namespace {

Error systemError(const std::string& what, const std::filesystem::path& path, int code)
{
    return Error{what + " " + path.string() + ": " + std::strerror(code)};
}

std::optional<Error> createFolders(const std::filesystem::path& folder)
{
    std::vector<std::filesystem::path> missing;
    for (auto at = folder; !at.empty(); at = at.parent_path()) {
        struct stat status {};
        if (::stat(at.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode))
                return systemError("Could not create", folder, ENOTDIR);
            break;
        }
        missing.push_back(at);
        if (at == at.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
            return systemError("Could not create", *it, errno);
    return std::nullopt;
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

std::string temporaryPattern(const std::filesystem::path& folder, const std::filesystem::path& path)
{
    // Hidden, so nothing that scans the folder for entries takes the unfinished file for one.
    return (folder / ("." + path.filename().string() + ".XXXXXX")).string();
}

std::filesystem::path folderOf(const std::filesystem::path& path)
{
    return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

// The rename is only durable once the folder is on disk too. The file is in place either way,
// and some file systems cannot flush a folder, so a failure here is not reported.
void flushFolder(const std::filesystem::path& folder)
{
    if (ScopedFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); directory)
        (void)::fsync(directory.get());
}

std::optional<Error> moveIntoPlace(const std::string& temporary, const std::filesystem::path& path)
{
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameErrno = errno;
        ::unlink(temporary.c_str());
        return systemError("Could not replace", path, renameErrno);
    }
    flushFolder(folderOf(path));
    return std::nullopt;
}

}  // namespace

std::optional<Error> AtomicFile::write(const std::filesystem::path& path, std::string_view bytes, mode_t mode)
{
    const auto folder = folderOf(path);
    if (auto failure = createFolders(folder))
        return failure;
    std::string temporary = temporaryPattern(folder, path);
    ScopedFd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file)
        return systemError("Could not create a temporary file for", path, errno);
    if (::fchmod(file.get(), mode) != 0 || !writeAll(file.get(), bytes) || ::fsync(file.get()) != 0) {
        const int writeErrno = errno;
        ::unlink(temporary.c_str());
        return systemError("Could not write", path, writeErrno);
    }
    file.reset();
    return moveIntoPlace(temporary, path);
}

std::optional<Error> AtomicFile::writeLink(const std::filesystem::path& path, const std::filesystem::path& target)
{
    const auto folder = folderOf(path);
    if (auto failure = createFolders(folder))
        return failure;
    // A unique name the way mkstemp makes one: take a fresh name until symlink() creates it.
    std::string temporary;
    for (int attempt = 0;; ++attempt) {
        temporary = temporaryPattern(folder, path);
        ScopedFd placeholder(::mkostemp(temporary.data(), O_CLOEXEC));
        if (!placeholder)
            return systemError("Could not create a temporary link for", path, errno);
        ::unlink(temporary.c_str());
        if (::symlink(target.c_str(), temporary.c_str()) == 0)
            break;
        if (errno != EEXIST || attempt == 100)
            return systemError("Could not create a temporary link for", path, errno);
    }
    return moveIntoPlace(temporary, path);
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
