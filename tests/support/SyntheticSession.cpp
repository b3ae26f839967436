#include "tests/support/SyntheticSession.h"

#include <sys/stat.h>

namespace tessary::testing {

SyntheticSession::SyntheticSession(std::string defaultCgroup)
    : paths(folder.paths()), bin(folder.path() / "bin"), defaultCgroup_(std::move(defaultCgroup))
{
}

void SyntheticSession::program(const std::filesystem::path& path) { script(path, "\x7f" "ELF"); }

void SyntheticSession::script(const std::filesystem::path& path, const std::string& content)
{
    TemporaryFolder::writeFile(path, content);
    ::chmod(path.c_str(), 0755);
}

void SyntheticSession::entry(const std::filesystem::path& dataDir, const std::string& id, const std::string& keys)
{
    TemporaryFolder::writeFile(dataDir / "applications" / (id + ".desktop"), "[Desktop Entry]\nType=Application\n" + keys);
}

void SyntheticSession::writeProcess(Process p) const
{
    if (p.startTime == 0)
        p.startTime = static_cast<std::uint64_t>(p.pid) * 10;
    if (p.cgroup.empty())
        p.cgroup = defaultCgroup_;
    const auto dir = paths.procRoot / std::to_string(p.pid);
    std::filesystem::remove_all(dir);
    TemporaryFolder::writeFile(dir / "stat", std::to_string(p.pid) + " (" + p.command + ") S " + std::to_string(p.parent) +
                                                 " 1 1 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 " +
                                                 std::to_string(p.startTime) + " 1000 10\n");
    std::string cmdline;
    for (const auto& argument : p.arguments)
        cmdline += argument + '\0';
    TemporaryFolder::writeFile(dir / "cmdline", cmdline);
    TemporaryFolder::writeFile(dir / "cgroup", "0::" + p.cgroup + "\n");
    TemporaryFolder::writeFile(dir / "status", "Name:\t" + p.command + "\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t" +
                                                   std::to_string(p.pid) + "\n");
    if (!p.executable.empty())
        std::filesystem::create_symlink(p.executable, dir / "exe");
    if (!p.workingFolder.empty())
        std::filesystem::create_symlink(p.workingFolder, dir / "cwd");
    if (p.flatpak)
        TemporaryFolder::writeFile(dir / "root" / ".flatpak-info", "[Application]\nname=" + *p.flatpak + "\nruntime=x\n");
}

void SyntheticSession::removeProcess(pid_t pid) const { std::filesystem::remove_all(paths.procRoot / std::to_string(pid)); }

}  // namespace tessary::testing
