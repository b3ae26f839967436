#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/Expected.h"

namespace tessary {

// Writes a file beside its destination and renames it over it, so no reader (Chrome, systemd)
// ever sees half a file. The folder must exist. Absent on success.
class WholeFileWriter {
public:
    static std::optional<Error> write(const std::filesystem::path& path, std::string_view content);
};

}  // namespace tessary
