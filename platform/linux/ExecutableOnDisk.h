#pragma once

#include <filesystem>
#include <optional>
#include <sys/types.h>

#include "platform/InstalledProgram.h"

namespace tessary {

// Compares the file at the program's path with the one the process was started from, by device
// and inode: installers (dpkg, and every package manager) put a new file in place by renaming it
// over the old one, which the running process keeps open.
class ExecutableOnDisk final : public InstalledProgram {
public:
    // running: the file the process runs ("/proc/self/exe" reaches it even once it is replaced).
    ExecutableOnDisk(std::filesystem::path installed, const std::filesystem::path& running = "/proc/self/exe");

    bool isReplaced() override;

private:
    struct Identity {
        dev_t device;
        ino_t inode;
        bool operator==(const Identity&) const = default;
    };
    static std::optional<Identity> identityOf(const std::filesystem::path& path);

    std::filesystem::path installed_;
    std::optional<Identity> running_;
};

}  // namespace tessary
