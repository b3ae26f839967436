#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "platform/Expected.h"

namespace tessary {

// Sets a damaged file aside for a person to look at, never deleting it: renamed to
// "<file><tag><stamp>", or "-2", "-3"… after it when an earlier copy holds that name, so that no
// copy is ever overwritten. Companion files (a SQLite database's journals) go with it, renamed
// with the same suffixes.
class FileAside {
public:
    static constexpr std::string_view kSqliteJournals[] = {"-wal", "-shm"};

    // The first name that neither the copy nor any of its companions holds.
    static Expected<std::filesystem::path> unusedName(const std::filesystem::path& file, std::string_view tag,
                                                      std::string_view stamp,
                                                      std::span<const std::string_view> companions = {});
    // Moves the file, then those of its companions that exist; the copy's name.
    static Expected<std::filesystem::path> move(const std::filesystem::path& file, std::string_view tag,
                                                std::string_view stamp,
                                                std::span<const std::string_view> companions = {});
    // Moves only the companions that exist, to the names they take beside `copy`.
    [[nodiscard]] static std::optional<Error> moveCompanions(const std::filesystem::path& file, const std::filesystem::path& copy,
                                               std::span<const std::string_view> companions);
};

}  // namespace tessary
