#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/Expected.h"

namespace tessary {

// The one writer of whole files: a reader (systemd, Chrome, the session, another process of ours)
// sees the old bytes or the new, never a mix, and a crash mid-write leaves the old file in place.
class AtomicFile {
public:
    // Writes the bytes to a temporary file of a unique name in the destination's folder, gives it
    // the mode, flushes it to disk, renames it over the destination and flushes the folder. Creates
    // missing folders (mode 0700). Nothing of the temporary file remains on failure. Absent on success.
    [[nodiscard]] static std::optional<Error> write(const std::filesystem::path& path, std::string_view bytes, mode_t mode);
    // The same for a symbolic link to the target.
    [[nodiscard]] static std::optional<Error> writeLink(const std::filesystem::path& path, const std::filesystem::path& target);
    // The whole file, or absent when it cannot be read.
    static std::optional<std::string> read(const std::filesystem::path& path);
};

}  // namespace tessary
