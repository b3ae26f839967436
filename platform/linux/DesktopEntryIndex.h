#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessary {

// The installed desktop entries: each application's ID (the desktop file ID without
// ".desktop"), its Name, and the programs its visible entries start, so that a process can be
// recognised by its executable however it was started.
class DesktopEntryIndex {
public:
    struct Roots {
        // In order of precedence: XDG_DATA_HOME, then XDG_DATA_DIRS; "applications" below each.
        std::vector<std::filesystem::path> dataDirs;
        // Folders holding "autostart" entries (XDG_CONFIG_HOME, /etc/xdg).
        std::vector<std::filesystem::path> configDirs;
        // The PATH that resolves a bare program name in Exec=.
        std::string searchPath;
    };

    DesktopEntryIndex() = default;
    static DesktopEntryIndex load(const Roots& roots);

    std::optional<std::string> nameFor(const std::string& id) const;
    bool hasApplication(const std::string& id) const;
    // The application whose visible entry starts this program (a canonical path).
    std::optional<std::string> idForProgram(const std::filesystem::path& program) const;
    // Started by the session's autostart and not installed as an application: session
    // infrastructure, never an application launch.
    bool isSessionAutostart(const std::string& id) const;
    // Every folder holding a program of a visible entry.
    std::set<std::filesystem::path> programFolders() const;

    // The program an Exec= value starts, with env assignments skipped and scripts run by an
    // interpreter named by the script; absent for shell command lines ("sh -c ...").
    static std::optional<std::filesystem::path> programOf(const std::string& exec, const std::string& searchPath);

private:
    void addFile(const std::filesystem::path& file, const std::string& id, const std::string& searchPath);

    std::map<std::string, std::string> names_;
    std::set<std::string> seenIds_;  // including hidden entries, which mask lower-precedence ones
    std::map<std::filesystem::path, std::string> programs_;
    std::set<std::string> autostartIds_;
};

}  // namespace tessary
