#include "platform/linux/PrivateKeptFile.h"

#include "platform/linux/AtomicFile.h"

namespace tessary {

PrivateKeptFile::PrivateKeptFile(std::filesystem::path path, std::uintmax_t largestSize)
    : path_(std::move(path)), largestSize_(largestSize)
{
}

std::optional<std::string> PrivateKeptFile::read()
{
    // Anyone able to write the file could make it too large to hold in memory.
    std::error_code error;
    const auto size = std::filesystem::file_size(path_, error);
    if (error || size > largestSize_)
        return std::nullopt;
    return AtomicFile::read(path_);
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
