#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/ApplicationClassifier.h"
#include "platform/linux/ProcFileSystem.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::TemporaryFolder;

constexpr const char* kAppSlice = "/user.slice/user-1000.slice/user@1000.service/app.slice/";

// A synthetic session: desktop entries, programs and a /proc tree, all in a temporary folder.
class ApplicationClassifierTest : public ::testing::Test {
protected:
    ApplicationClassifierTest() : paths(folder.paths()), bin(folder.path() / "bin")
    {
        program("editor");
        program("viewer");
        program("daemon");
        program("plain");
        script("wrapped-tool", "#!/bin/sh\nexec " + (bin / "plain").string() + "\n");
        script("py-tool", "#!/usr/bin/env sh\n");
        entry(paths.dataDirs[0], "org.example.Editor", "Name=Example Editor\nExec=editor %F\n");
        entry(paths.dataDirs[0], "org.example.Viewer", "Name=Viewer\nExec=env GDK_BACKEND=x11 " + bin.string() + "/viewer\n");
        entry(paths.dataDirs[0], "org.example.Daemon", "Name=Background Daemon\nNoDisplay=true\nExec=daemon\n");
        entry(paths.dataDirs[0], "org.example.Shell", "Name=Shell Thing\nExec=sh -c \"plain --new\"\n");
        entry(paths.dataDirs[0], "org.example.Wrapped", "Name=Wrapped Tool\nExec=wrapped-tool\n");
        entry(paths.dataDirs[0], "org.example.Py", "Name=Script Tool\nExec=py-tool\n");
        entry(paths.dataDirs[0], "org.flatpak.Game", "Name=Flat Game\nExec=/usr/bin/flatpak run org.flatpak.Game\nX-Flatpak=org.flatpak.Game\n");
        entry(paths.dataDirs[0], "vendor/suite", "Name=Vendor Suite\nExec=" + bin.string() + "/plain --suite\n");
        entry(paths.dataHome, "org.example.Hidden", "Hidden=true\n");
        entry(paths.dataDirs[0], "org.example.Hidden", "Name=Masked\nExec=plain\n");
        TemporaryFolder::writeFile(paths.configHome / "autostart" / "xdg-user-dirs.desktop",
                                   "[Desktop Entry]\nType=Application\nExec=xdg-user-dirs-update\n");
        TemporaryFolder::writeFile(paths.procRoot / "loadavg", "0.10 0.20 0.30 2/345 98765\n");
    }

    void program(const std::string& name) { script(name, "\x7f" "ELF"); }
    void script(const std::string& name, const std::string& content)
    {
        TemporaryFolder::writeFile(bin / name, content);
        ::chmod((bin / name).c_str(), 0755);
    }
    static void entry(const std::filesystem::path& dataDir, const std::string& id, const std::string& keys)
    {
        TemporaryFolder::writeFile(dataDir / "applications" / (id + ".desktop"),
                                   "[Desktop Entry]\nType=Application\n" + keys);
    }

    struct Process {
        pid_t pid;
        std::string command;
        std::filesystem::path executable;
        std::vector<std::string> arguments;
        std::string cgroup;
        std::optional<std::string> flatpak;
    };
    // Writes /proc/PID with a stat line, cmdline, cgroup and exe link.
    void process(const Process& p)
    {
        const auto dir = paths.procRoot / std::to_string(p.pid);
        TemporaryFolder::writeFile(dir / "stat", std::to_string(p.pid) + " (" + p.command +
                                                     ") S 1 1 1 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 5000 1000 10\n");
        std::string cmdline;
        for (const auto& argument : p.arguments)
            cmdline += argument + '\0';
        TemporaryFolder::writeFile(dir / "cmdline", cmdline);
        TemporaryFolder::writeFile(dir / "cgroup", "0::" + p.cgroup + "\n");
        if (!p.executable.empty())
            std::filesystem::create_symlink(p.executable, dir / "exe");
        if (p.flatpak)
            TemporaryFolder::writeFile(dir / "root" / ".flatpak-info", "[Application]\nname=" + *p.flatpak + "\nruntime=x\n");
    }

    ApplicationClassifier classifier(uid_t uid = ::getuid())
    {
        ApplicationClassifier::Exclusions exclusions;
        exclusions.uid = uid;
        exclusions.agentPid = 7;
        exclusions.agentBundle = folder.path() / "Tessary";
        exclusions.agentIds = {"app.brenmoor.tessary"};
        DesktopEntryIndex::Roots roots;
        roots.dataDirs = {paths.dataHome, paths.dataDirs[0]};
        roots.configDirs = {paths.configHome};
        roots.searchPath = bin.string() + ":/usr/bin:/bin";
        ApplicationClassifier result(exclusions, roots.searchPath);
        result.setIndex(DesktopEntryIndex::load(roots));
        return result;
    }

    TemporaryFolder folder;
    Paths paths;
    std::filesystem::path bin;
};

TEST_F(ApplicationClassifierTest, StatLinesWithAwkwardCommandNamesAreRead)
{
    TemporaryFolder::writeFile(paths.procRoot / "42" / "stat",
                               "42 (my (odd) prog) S 17 42 42 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 987654 0 0\n");
    TemporaryFolder::writeFile(paths.procRoot / "43" / "stat", "43 (truncated) S 17\n");
    TemporaryFolder::writeFile(paths.procRoot / "self" / "stat", "");
    const ProcFileSystem proc(paths.procRoot);
    const auto facts = proc.read(42);
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(facts->command, "my (odd) prog");
    EXPECT_EQ(facts->parentPid, 17);
    EXPECT_EQ(facts->startTime, 987654U);
    EXPECT_FALSE(proc.read(43).has_value());
    EXPECT_FALSE(proc.read(44).has_value());
    EXPECT_EQ(proc.lastCreatedPid(), 98765);
    std::vector<pid_t> listed;
    for (const auto& entry : proc.list())
        listed.push_back(entry.pid);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<pid_t>{42, 43}));
}

struct ClassificationRow {
    const char* name;
    std::string command;
    std::string executable;  // below bin/ unless absolute; empty for none
    std::vector<std::string> arguments;
    std::string cgroup;
    std::optional<std::string> flatpak;
    bool excluded;
    std::optional<std::string> programId;
    std::optional<std::string> unitId;
    std::string displayName;  // of programId, else unitId
};

TEST_F(ApplicationClassifierTest, ProcessesAreRecognisedByUnitFlatpakOrProgram)
{
    const std::string shell = std::filesystem::canonical("/bin/sh").string();
    const std::string wrapped = (bin / "wrapped-tool").string();
    const std::vector<ClassificationRow> rows = {
        {"GNOME launch in its scope", "editor", "editor", {"editor"},
         std::string(kAppSlice) + "app-gnome-org.example.Editor-4242.scope", std::nullopt, false,
         "org.example.Editor", "org.example.Editor", "Example Editor"},
        {"terminal launch of an installed program", "editor", "editor", {"editor", "notes.txt"},
         "/user.slice/user-1000.slice/session-2.scope", std::nullopt, false, "org.example.Editor", std::nullopt,
         "Example Editor"},
        {"program behind env assignments", "viewer", "viewer", {"viewer"}, "/", std::nullopt, false,
         "org.example.Viewer", std::nullopt, "Viewer"},
        {"entry in a vendor subfolder", "plain", "plain", {"plain", "--suite"}, "/", std::nullopt, false,
         "vendor-suite", std::nullopt, "Vendor Suite"},
        {"script entry run by its interpreter", "sh", shell, {"/bin/sh", wrapped}, "/", std::nullopt, false,
         "org.example.Wrapped", std::nullopt, "Wrapped Tool"},
        {"script through env names its interpreter", "sh", shell, {"sh", (bin / "py-tool").string()}, "/",
         std::nullopt, false, "org.example.Py", std::nullopt, "Script Tool"},
        {"script read by another program is no launch", "cat", "daemon", {"cat", wrapped}, "/", std::nullopt, false,
         std::nullopt, std::nullopt, ""},
        {"a shell is no application", "sh", shell, {"sh"}, "/", std::nullopt, false, std::nullopt, std::nullopt, ""},
        {"NoDisplay entry does not claim its program", "daemon", "daemon", {"daemon"}, "/", std::nullopt, false,
         std::nullopt, std::nullopt, ""},
        {"NoDisplay entry still names its unit", "daemon", "daemon", {"daemon"},
         std::string(kAppSlice) + "app-gnome-org.example.Daemon-5.scope", std::nullopt, false, std::nullopt,
         "org.example.Daemon", "Background Daemon"},
        {"Flatpak application", "game", "/app/bin/game", {"game"},
         std::string(kAppSlice) + "app-flatpak-org.flatpak.Game-31.scope", "org.flatpak.Game", false,
         "org.flatpak.Game", "org.flatpak.Game", "Flat Game"},
        {"unit without an entry is named by its command", "thing", "/usr/bin/thing", {"thing"},
         std::string(kAppSlice) + "app-gnome-thing-8.scope", std::nullopt, false, std::nullopt, "thing", "thing"},
        {"command name that is not UTF-8 gives way to the ID", "th\xe9me", "/usr/bin/theme", {"theme"},
         std::string(kAppSlice) + "app-gnome-theme-9.scope", std::nullopt, false, std::nullopt, "theme", "theme"},
        {"autostart unit is session infrastructure", "xdg-user-dirs", "/usr/bin/xdg-user-dirs-update", {"x"},
         std::string(kAppSlice) + "app-gnome-xdg\\x2duser\\x2ddirs-99.scope", std::nullopt, false, std::nullopt,
         std::nullopt, ""},
        {"the agent's own unit", "child", "/usr/bin/xdg-open", {"xdg-open"},
         std::string(kAppSlice) + "app-gnome-app.brenmoor.tessary-3.scope", std::nullopt, false, std::nullopt,
         std::nullopt, ""},
    };
    const auto classify = classifier();
    pid_t pid = 1000;
    for (const auto& row : rows) {
        ++pid;
        std::filesystem::path executable;
        if (!row.executable.empty())
            executable = row.executable.front() == '/' ? std::filesystem::path(row.executable) : bin / row.executable;
        process({pid, row.command, executable, row.arguments, row.cgroup, row.flatpak});
        const auto facts = ProcFileSystem(paths.procRoot).read(pid);
        ASSERT_TRUE(facts.has_value()) << row.name;
        EXPECT_EQ(classify.isExcluded(*facts), row.excluded) << row.name;
        EXPECT_EQ(classify.programId(*facts), row.programId) << row.name;
        EXPECT_EQ(classify.unitId(*facts), row.unitId) << row.name;
        if (const auto id = row.programId ? row.programId : row.unitId) {
            EXPECT_EQ(classify.displayName(*id, *facts), row.displayName) << row.name;
        }
    }
}

TEST_F(ApplicationClassifierTest, SessionProcessesAreExcluded)
{
    process({7, "PellixApp", folder.path() / "Tessary" / "Contents" / "bin" / "PellixApp", {}, "/", std::nullopt});
    process({8, "tessary-chrome-host", folder.path() / "Tessary" / "Contents" / "Helpers" / "tessary-chrome-host",
             {}, "/", std::nullopt});
    process({9, "kworker/0:1", "", {}, "/", std::nullopt});
    process({10, "editor", bin / "editor", {"editor"}, "/", std::nullopt});
    const ProcFileSystem proc(paths.procRoot);
    const auto classify = classifier();
    EXPECT_TRUE(classify.isExcluded(*proc.read(7))) << "the agent itself";
    EXPECT_TRUE(classify.isExcluded(*proc.read(8))) << "a helper from the agent's bundle";
    EXPECT_TRUE(classify.isExcluded(*proc.read(9))) << "a kernel thread";
    EXPECT_FALSE(classify.isExcluded(*proc.read(10))) << "an application of this user";
    EXPECT_TRUE(classifier(::getuid() + 1).isExcluded(*proc.read(10))) << "another user's process";
}

TEST_F(ApplicationClassifierTest, HiddenUserEntryMasksTheSystemOne)
{
    const auto classify = classifier();
    EXPECT_FALSE(classify.index().hasApplication("org.example.Hidden"));
    EXPECT_TRUE(classify.index().hasApplication("org.example.Editor"));
    // The shell command line claims no program, so "plain" belongs to the vendor suite only.
    EXPECT_EQ(classify.index().idForProgram(std::filesystem::canonical(bin / "plain")), "vendor-suite");
}

}  // namespace
}  // namespace tessary
