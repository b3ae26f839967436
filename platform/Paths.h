#pragma once

#include <filesystem>
#include <vector>

namespace tessary {

// Every root the system reads or writes below. Tests point all of them into a temporary folder.
struct Paths {
    std::filesystem::path home;
    std::filesystem::path configHome;       // XDG_CONFIG_HOME
    std::filesystem::path dataHome;         // XDG_DATA_HOME
    std::filesystem::path runtimeDir;       // XDG_RUNTIME_DIR, or a private folder when unset
    std::filesystem::path tempDir;          // TMPDIR
    std::filesystem::path systemConfigDir;  // /etc/xdg
    std::filesystem::path systemUserUnitDir;  // /usr/lib/systemd/user: user units installed with the system
    std::vector<std::filesystem::path> dataDirs;  // XDG_DATA_DIRS
    std::filesystem::path procRoot;         // /proc
    std::filesystem::path cgroupRoot;       // /sys/fs/cgroup
};

}  // namespace tessary
