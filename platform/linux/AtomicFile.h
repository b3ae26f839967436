#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <sys/types.h>

#include "platform/Expected.h"

namespace tessary {

// Replaces a file's content all at once: a reader sees the old bytes or the new, never a mix,
// and a crash mid-write leaves the old file in place.
class AtomicFile {
public:
    // Creates missing parent folders (mode 0700). Absent on success.
    static std::optional<Error> write(const std::filesystem::path& path, std::string_view bytes, mode_t mode);
    // The whole file, or absent when it cannot be read.
    static std::optional<std::string> read(const std::filesystem::path& path);
};

}  // namespace tessary
