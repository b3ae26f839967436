#include "platform/linux/EnvironmentPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace tessary {

namespace {

std::filesystem::path variable(const char* name)
{
    const char* value = std::getenv(name);
    // Relative XDG values are invalid and must be ignored.
    if (value == nullptr || value[0] != '/')
        return {};
    return value;
}

std::filesystem::path homeFolder()
{
    if (auto home = variable("HOME"); !home.empty())
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return "/";
}

std::filesystem::path orDefault(const char* name, const std::filesystem::path& fallback)
{
    auto value = variable(name);
    return value.empty() ? fallback : value;
}

}  // namespace

Paths EnvironmentPaths::current()
{
    Paths paths;
    paths.home = homeFolder();
    paths.configHome = orDefault("XDG_CONFIG_HOME", paths.home / ".config");
    paths.dataHome = orDefault("XDG_DATA_HOME", paths.home / ".local" / "share");
    paths.tempDir = orDefault("TMPDIR", "/tmp");
    paths.runtimeDir = orDefault("XDG_RUNTIME_DIR", paths.dataHome / "app.brenmoor.tessary" / "run");
    paths.systemConfigDir = "/etc/xdg";
    paths.systemUserUnitDir = "/usr/lib/systemd/user";
    paths.procRoot = "/proc";
    paths.cgroupRoot = "/sys/fs/cgroup";

    std::string dataDirs = "/usr/local/share:/usr/share";
    if (const char* value = std::getenv("XDG_DATA_DIRS"); value != nullptr && value[0] != '\0')
        dataDirs = value;
    std::size_t start = 0;
    while (start <= dataDirs.size()) {
        const auto end = std::min(dataDirs.find(':', start), dataDirs.size());
        const auto entry = dataDirs.substr(start, end - start);
        if (!entry.empty() && entry.front() == '/')
            paths.dataDirs.emplace_back(entry);
        start = end + 1;
    }
    return paths;
}

}  // namespace tessary
