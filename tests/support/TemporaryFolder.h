#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Paths.h"

namespace tessary::testing {

// A fresh folder removed again at the end of the test, and Paths rooted inside it.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // home, XDG folders, runtime, /etc/xdg, /proc and the cgroup tree, all below path().
    Paths paths() const;

    static void writeFile(const std::filesystem::path& file, const std::string& content);
    static std::string readFile(const std::filesystem::path& file);
    // The names of the folder's entries, sorted.
    static std::vector<std::string> namesIn(const std::filesystem::path& folder);
    // The permission bits of the file or folder.
    static std::filesystem::perms modeOf(const std::filesystem::path& path);

private:
    std::filesystem::path path_;
};

}  // namespace tessary::testing
