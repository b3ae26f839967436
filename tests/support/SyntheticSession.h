#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/TemporaryFolder.h"

namespace tessary::testing {

// A synthetic session in a temporary folder: programs, desktop entries and a /proc tree.
class SyntheticSession {
public:
    struct Process {
        pid_t pid = 0;
        pid_t parent = 1;
        std::uint64_t startTime = 0;          // 0: pid * 10
        std::string command{};
        std::filesystem::path executable{};   // empty: the link cannot be read
        std::vector<std::string> arguments{};
        std::string cgroup{};                 // empty: the session's default
        std::optional<std::string> flatpak{};
        std::filesystem::path workingFolder{};
    };

    explicit SyntheticSession(std::string defaultCgroup = "/");

    // An executable file (an ELF header) or a script with the given content.
    static void program(const std::filesystem::path& path);
    static void script(const std::filesystem::path& path, const std::string& content);
    // A desktop entry below dataDir/applications; without dataDir, in the first system data folder.
    static void entry(const std::filesystem::path& dataDir, const std::string& id, const std::string& keys);
    void entry(const std::string& id, const std::string& keys) const { entry(paths.dataDirs[0], id, keys); }

    // Writes (or rewrites, as an exec does) /proc/PID: stat, cmdline, cgroup, status, exe and cwd
    // links and the sandbox's .flatpak-info.
    void writeProcess(Process p) const;
    void removeProcess(pid_t pid) const;

    TemporaryFolder folder;
    Paths paths;
    std::filesystem::path bin;

private:
    std::string defaultCgroup_;
};

}  // namespace tessary::testing
