#include <algorithm>
#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/ApplicationClassifier.h"
#include "platform/linux/ProcFileSystem.h"
#include "tests/support/SyntheticSession.h"

namespace tessary {
namespace {

using testing::TemporaryFolder;

// The user manager's cgroup folder for this test's user, whose slices decide what is infrastructure.
std::string managerFolder()
{
    const auto uid = std::to_string(::getuid());
    return "/user.slice/user-" + uid + ".slice/user@" + uid + ".service/";
}

// A synthetic session: desktop entries, programs and a /proc tree, all in a temporary folder.
class ApplicationClassifierTest : public ::testing::Test, protected testing::SyntheticSession {
protected:
    ApplicationClassifierTest()
        : share(folder.path() / "share"), appSlice(managerFolder() + "app.slice/")
    {
        for (const auto* name : {"editor", "viewer", "daemon", "plain", "hidden-tool", "cat", "python3.11",
                                 "python3.12", "java", "flatpak", "env", "sh"})
            program(bin / name);
        std::filesystem::create_symlink("python3.11", bin / "python3");
        program(folder.path() / "opt" / "game" / "game");
        script(bin / "wrapped-tool", "#!/bin/sh\nexec " + (bin / "plain").string() + "\n");
        script(bin / "py-tool", "#!/usr/bin/env sh\n");
        // Scripts and jars as games ship them: neither executable nor starting with "#!".
        for (const auto* file : {"chess/chess.py", "tetris/tetris.py", "maze/maze.py", "puzzle/puzzle.py",
                                 "craft/craft.jar"})
            TemporaryFolder::writeFile(share / file, "print('hi')\n");

        const auto& system = paths.dataDirs[0];
        const std::string b = bin.string();
        const std::string s = share.string();
        const std::string game = (folder.path() / "opt" / "game").string();
        entry(system, "org.example.Editor", "Name=Example Editor\nExec=editor %F\n");
        entry(system, "org.example.Viewer", "Name=Viewer\nExec=env GDK_BACKEND=x11 " + b + "/viewer\n");
        entry(system, "org.example.Daemon", "Name=Background Daemon\nNoDisplay=true\nExec=daemon\n");
        entry(system, "org.example.Tray", "Name=Tray\nNoDisplay=true\nExec=daemon --tray\n");
        entry(system, "org.example.Wrapped", "Name=Wrapped Tool\nExec=wrapped-tool\n");
        entry(system, "org.example.Py", "Name=Script Tool\nExec=py-tool\n");
        entry(system, "org.flatpak.Game",
              "Name=Flat Game\nExec=" + b + "/flatpak run --branch=stable --arch=x86_64 --command=game " +
                  "org.flatpak.Game @@u %U @@\nX-Flatpak=org.flatpak.Game\n");
        entry(system, "vendor/suite", "Name=Vendor Suite\nExec=" + b + "/plain --suite\n");
        entry(system, "org.example.Chess", "Name=Chess\nExec=python3 " + s + "/chess/chess.py\n");
        entry(system, "org.example.Tetris", "Name=Tetris\nPath=" + s + "/tetris\nExec=python3 tetris.py\n");
        entry(system, "org.example.Solitaire", "Name=Solitaire\nExec=python3 solitaire.py\n");
        entry(system, "org.example.Quiz", "Name=Quiz\nExec=python3 -u -m quiz.main\n");
        entry(system, "org.example.Craft", "Name=Craft\nPath=" + s + "/craft\nExec=java -Xmx512m -jar craft.jar\n");
        entry(system, "org.example.Maze", "Name=Maze\nExec=env -u DISPLAY LANG=C python3 " + s + "/maze/maze.py\n");
        entry(system, "org.example.Racer", "Name=Racer\nExec=sh -c \"cd " + game + " && exec ./game --fullscreen\"\n");
        entry(system, "org.example.Puzzle",
              "Name=Puzzle\nExec=sh -c \"cd " + s + "/puzzle; LANG=C python3 puzzle.py 2>/dev/null\"\n");
        entry(system, "org.example.Loop", "Name=Loop\nExec=sh -c \"for x in 1 2; do plain; done\"\n");
        entry(system, "org.example.Store", "Name=Store\nExec=flatpak run org.other.Store\n");
        entry(system, "org.example.Python", "Name=Python Shell\nExec=python3\n");
        entry(system, "org.example.Hidden", "Name=Masked\nExec=hidden-tool\n");
        entry(paths.dataHome, "org.example.Hidden", "Hidden=true\n");
        TemporaryFolder::writeFile(paths.configHome / "autostart" / "xdg-user-dirs.desktop",
                                   "[Desktop Entry]\nType=Application\nExec=xdg-user-dirs-update\n");
        TemporaryFolder::writeFile(paths.systemConfigDir / "autostart" / "org.example.Tray.desktop",
                                   "[Desktop Entry]\nType=Application\nExec=daemon\n");
        TemporaryFolder::writeFile(paths.procRoot / "loadavg", "0.10 0.20 0.30 2/345 98765\n");
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
        roots.configDirs = {paths.configHome, paths.systemConfigDir};
        roots.searchPath = bin.string() + ":/usr/bin:/bin";
        ApplicationClassifier result(exclusions, roots.searchPath);
        result.setIndex(DesktopEntryIndex::load(roots));
        return result;
    }

    struct Row {
        const char* name;
        std::filesystem::path executable = {};  // empty: the link is unreadable
        std::vector<std::string> arguments = {};
        std::string cgroup = "/";
        std::filesystem::path workingFolder = {};
        std::optional<std::string> flatpak = {};
        bool excluded = false;
        std::optional<std::string> programId = {};
        std::optional<std::string> unitId = {};
    };
    // Reads each row's process back through ProcFileSystem and classifies it.
    void expectClassified(const std::vector<Row>& rows)
    {
        const auto classify = classifier();
        for (const auto& row : rows) {
            const pid_t pid = ++nextPid;
            const std::string command =
                row.arguments.empty() ? "kthread" : std::filesystem::path(row.arguments[0]).filename().string();
            writeProcess({.pid = pid, .command = command, .executable = row.executable, .arguments = row.arguments,
                          .cgroup = row.cgroup, .flatpak = row.flatpak, .workingFolder = row.workingFolder});
            const auto facts = ProcFileSystem(paths.procRoot).read(pid);
            ASSERT_TRUE(facts.has_value()) << row.name;
            EXPECT_EQ(classify.isExcluded(*facts), row.excluded) << row.name;
            EXPECT_EQ(classify.programId(*facts), row.programId) << row.name;
            EXPECT_EQ(classify.unitId(*facts), row.unitId) << row.name;
        }
    }

    std::filesystem::path share;
    std::string appSlice;
    pid_t nextPid = 1000;
};

TEST_F(ApplicationClassifierTest, StatLinesWithAwkwardCommandNamesAreRead)
{
    TemporaryFolder::writeFile(paths.procRoot / "42" / "stat",
                               "42 (my (odd) prog) S 17 42 42 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 987654 0 0\n");
    std::filesystem::create_symlink(share / "chess", paths.procRoot / "42" / "cwd");
    TemporaryFolder::writeFile(paths.procRoot / "43" / "stat", "43 (truncated) S 17\n");
    TemporaryFolder::writeFile(paths.procRoot / "self" / "stat", "");
    const ProcFileSystem proc(paths.procRoot);
    const auto facts = proc.read(42);
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ(facts->command, "my (odd) prog");
    EXPECT_EQ(facts->parentPid, 17);
    EXPECT_EQ(facts->startTime, 987654U);
    EXPECT_EQ(facts->workingFolder, share / "chess");
    EXPECT_TRUE(facts->executable.empty());
    EXPECT_FALSE(proc.read(43).has_value());
    EXPECT_FALSE(proc.read(44).has_value());
    EXPECT_EQ(proc.lastCreatedPid(), 98765);
    std::vector<pid_t> listed;
    for (const auto& entry : proc.list())
        listed.push_back(entry.pid);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<pid_t>{42, 43}));
}

struct NamedRow {
    const char* name;
    std::string command;
    std::string executable;  // below bin/ unless absolute
    std::vector<std::string> arguments;
    std::string cgroup;
    std::optional<std::string> flatpak;
    std::optional<std::string> programId;
    std::optional<std::string> unitId;
    std::string displayName;  // of programId, else unitId
};

TEST_F(ApplicationClassifierTest, ProcessesAreRecognisedByUnitFlatpakOrProgram)
{
    const std::string shell = std::filesystem::canonical("/bin/sh").string();
    const std::string wrapped = (bin / "wrapped-tool").string();
    const std::string login = "/user.slice/user-1000.slice/session-2.scope";
    const std::vector<NamedRow> rows = {
        {"GNOME launch in its scope", "editor", "editor", {"editor"}, appSlice + "app-gnome-org.example.Editor-4.scope",
         std::nullopt, "org.example.Editor", "org.example.Editor", "Example Editor"},
        {"terminal launch of an installed program", "editor", "editor", {"editor", "notes.txt"}, login, std::nullopt,
         "org.example.Editor", std::nullopt, "Example Editor"},
        {"terminal tab of GNOME Terminal", "editor", "editor", {"editor"},
         appSlice + "app-org.gnome.Terminal.slice/vte-spawn-0d3a2c.scope", std::nullopt, "org.example.Editor",
         std::nullopt, "Example Editor"},
        {"program behind env assignments", "viewer", "viewer", {"viewer"}, "/", std::nullopt, "org.example.Viewer",
         std::nullopt, "Viewer"},
        {"entry in a vendor subfolder", "plain", "plain", {"plain", "--suite"}, "/", std::nullopt, "vendor-suite",
         std::nullopt, "Vendor Suite"},
        {"script entry run by its interpreter", "sh", shell, {"/bin/sh", wrapped}, "/", std::nullopt,
         "org.example.Wrapped", std::nullopt, "Wrapped Tool"},
        {"script through env names its interpreter", "sh", shell, {"sh", (bin / "py-tool").string()}, "/",
         std::nullopt, "org.example.Py", std::nullopt, "Script Tool"},
        {"script read by another program is no launch", "cat", "cat", {"cat", wrapped}, "/", std::nullopt,
         std::nullopt, std::nullopt, ""},
        {"a shell is no application", "sh", shell, {"sh"}, "/", std::nullopt, std::nullopt, std::nullopt, ""},
        {"NoDisplay entry does not claim its program", "daemon", "daemon", {"daemon"}, "/", std::nullopt,
         std::nullopt, std::nullopt, ""},
        {"NoDisplay entry still names its unit", "daemon", "daemon", {"daemon"},
         appSlice + "app-gnome-org.example.Daemon-5.scope", std::nullopt, std::nullopt, "org.example.Daemon",
         "Background Daemon"},
        {"Flatpak application", "game", "/app/bin/game", {"game"}, appSlice + "app-flatpak-org.flatpak.Game-31.scope",
         "org.flatpak.Game", "org.flatpak.Game", "org.flatpak.Game", "Flat Game"},
        {"unit without an entry is named by its command", "thing", "/usr/bin/thing", {"thing"},
         appSlice + "app-gnome-thing-8.scope", std::nullopt, std::nullopt, "thing", "thing"},
        {"command name that is not UTF-8 gives way to the ID", "th\xe9me", "/usr/bin/theme", {"theme"},
         appSlice + "app-gnome-theme-9.scope", std::nullopt, std::nullopt, "theme", "theme"},
        {"an empty command name gives way to the ID", "", "/usr/bin/blank", {"blank"},
         appSlice + "app-gnome-blank-10.scope", std::nullopt, std::nullopt, "blank", "blank"},
        {"the agent's own unit", "child", "/usr/bin/xdg-open", {"xdg-open"},
         appSlice + "app-gnome-app.brenmoor.tessary-3.scope", std::nullopt, std::nullopt, std::nullopt, ""},
    };
    const auto classify = classifier();
    for (const auto& row : rows) {
        const pid_t pid = ++nextPid;
        const std::filesystem::path executable =
            row.executable.front() == '/' ? std::filesystem::path(row.executable) : bin / row.executable;
        writeProcess({.pid = pid, .command = row.command, .executable = executable, .arguments = row.arguments,
                      .cgroup = row.cgroup, .flatpak = row.flatpak});
        const auto facts = ProcFileSystem(paths.procRoot).read(pid);
        ASSERT_TRUE(facts.has_value()) << row.name;
        EXPECT_FALSE(classify.isExcluded(*facts)) << row.name;
        EXPECT_EQ(classify.programId(*facts), row.programId) << row.name;
        EXPECT_EQ(classify.unitId(*facts), row.unitId) << row.name;
        if (const auto id = row.programId ? row.programId : row.unitId) {
            EXPECT_EQ(classify.displayName(*id, *facts), row.displayName) << row.name;
        }
    }
}

TEST_F(ApplicationClassifierTest, InterpreterEntriesAreIdentifiedByWhatTheInterpreterRuns)
{
    const auto python = bin / "python3.11";
    const auto java = bin / "java";
    const auto home = paths.home;
    expectClassified({
        {.name = "script by absolute path",
         .executable = python,
         .arguments = {"python3", (share / "chess/chess.py").string()},
         .programId = "org.example.Chess"},
        {.name = "same script by relative path from its folder",
         .executable = python,
         .arguments = {"python3", "chess.py"},
         .workingFolder = share / "chess",
         .programId = "org.example.Chess"},
        {.name = "another Python of the same family",
         .executable = bin / "python3.12",
         .arguments = {"python3.12", (share / "chess/chess.py").string()},
         .programId = "org.example.Chess"},
        {.name = "relative script in the entry's Path",
         .executable = python,
         .arguments = {"python3", "tetris.py"},
         .workingFolder = share / "tetris",
         .programId = "org.example.Tetris"},
        {.name = "a file of the same name elsewhere",
         .executable = python,
         .arguments = {"python3", "tetris.py"},
         .workingFolder = home},
        {.name = "relative script without Path, run where launched",
         .executable = python,
         .arguments = {"python3", "solitaire.py"},
         .workingFolder = home,
         .programId = "org.example.Solitaire"},
        {.name = "module after interpreter options",
         .executable = python,
         .arguments = {"python3", "-u", "-m", "quiz.main"},
         .programId = "org.example.Quiz"},
        {.name = "module joined to its option",
         .executable = python,
         .arguments = {"python3", "-mquiz.main"},
         .programId = "org.example.Quiz"},
        {.name = "jar after Java options",
         .executable = java,
         .arguments = {"java", "-Xmx1g", "-jar", "craft.jar"},
         .workingFolder = share / "craft",
         .programId = "org.example.Craft"},
        {.name = "env entry's script",
         .executable = python,
         .arguments = {"python3", (share / "maze/maze.py").string()},
         .programId = "org.example.Maze"},
        {.name = "sh -c final program after cd and exec",
         .executable = folder.path() / "opt/game/game",
         .arguments = {"./game", "--fullscreen"},
         .workingFolder = folder.path() / "opt/game",
         .programId = "org.example.Racer"},
        {.name = "sh -c final interpreter and script",
         .executable = python,
         .arguments = {"python3", "puzzle.py"},
         .workingFolder = share / "puzzle",
         .programId = "org.example.Puzzle"},
        {.name = "host side of a Flatpak launch",
         .executable = bin / "flatpak",
         .arguments = {"flatpak", "run", "--branch=stable", "--command", "game", "org.flatpak.Game", "@@u", "@@"},
         .programId = "org.flatpak.Game"},
        {.name = "flatpak run from another entry names the Flatpak",
         .executable = bin / "flatpak",
         .arguments = {"flatpak", "run", "org.other.Store//beta"},
         .programId = "org.other.Store"},
        // What blocking those entries must never reach.
        {.name = "python3 -c", .executable = python, .arguments = {"python3", "-c", "import quiz.main"}},
        {.name = "python3 with another script",
         .executable = python,
         .arguments = {"python3", "other.py"},
         .workingFolder = home},
        {.name = "bare python3", .executable = python, .arguments = {"python3"}},
        {.name = "java -version", .executable = java, .arguments = {"java", "-version"}},
        {.name = "java with a main class",
         .executable = java,
         .arguments = {"java", "-cp", "craft.jar", "Main"},
         .workingFolder = share / "craft"},
        {.name = "another jar", .executable = java, .arguments = {"java", "-jar", "/tmp/craft.jar"}},
        {.name = "a shell running a command", .executable = bin / "sh", .arguments = {"sh", "-c", "plain"}},
        {.name = "flatpak doing something else", .executable = bin / "flatpak", .arguments = {"flatpak", "update"}},
        {.name = "env itself", .executable = bin / "env", .arguments = {"env"}},
    });
}

TEST_F(ApplicationClassifierTest, ProcessesThatHideTheirExecutableAreStillClassified)
{
    expectClassified({
        {.name = "by its application unit",
         .arguments = {"whatever"},
         .cgroup = appSlice + "app-gnome-org.example.Viewer-12.scope",
         .unitId = "org.example.Viewer"},
        {.name = "by its Flatpak sandbox",
         .arguments = {"/app/bin/game"},
         .flatpak = "org.flatpak.Game",
         .programId = "org.flatpak.Game"},
        {.name = "argv[0] on the search path", .arguments = {"editor", "notes.txt"}, .programId = "org.example.Editor"},
        {.name = "argv[0] as an absolute path",
         .arguments = {(bin / "editor").string()},
         .programId = "org.example.Editor"},
        {.name = "command line rewritten as one string",
         .arguments = {(bin / "editor").string() + " --type=renderer"},
         .programId = "org.example.Editor"},
        {.name = "argv[0] as the interpreter",
         .arguments = {"python3", (share / "chess/chess.py").string()},
         .programId = "org.example.Chess"},
        {.name = "argv[0] naming no entry's program", .arguments = {"daemon"}},
        {.name = "kernel thread", .excluded = true},
        {.name = "agent helper",
         .arguments = {(folder.path() / "Tessary/Contents/Helpers/tessary-chrome-host").string()},
         .excluded = true},
        {.name = "agent helper reached through ..",
         .arguments = {(folder.path() / "Tessary/Contents/bin/../Helpers/tessary-chrome-host").string(), "--x"},
         .excluded = true},
    });
}

TEST_F(ApplicationClassifierTest, SessionInfrastructureIsNeverAnApplication)
{
    // A program of no visible entry is infrastructure where the session keeps its services.
    const auto daemon = bin / "daemon";
    const std::vector<std::string> daemonArguments = {"daemon"};
    const auto editor = bin / "editor";
    const std::vector<std::string> arguments = {"editor"};
    const auto manager = managerFolder();
    TemporaryFolder::writeFile(paths.configHome / "autostart" / "org.example.Editor.desktop",
                               "[Desktop Entry]\nType=Application\nExec=editor\n");
    expectClassified({
        {.name = "session.slice", .executable = daemon, .arguments = daemonArguments,
         .cgroup = manager + "session.slice/org.gnome.Shell@wayland.service", .excluded = true},
        {.name = "background.slice", .executable = daemon, .arguments = daemonArguments,
         .cgroup = manager + "background.slice/tracker-miner-fs-3.service", .excluded = true},
        {.name = "portal activated over D-Bus", .executable = daemon, .arguments = daemonArguments,
         .cgroup = appSlice + "dbus-:1.2-org.freedesktop.portal.Desktop@0.service", .excluded = true},
        {.name = "D-Bus activation of a NoDisplay entry", .executable = daemon, .arguments = daemonArguments,
         .cgroup = appSlice + "dbus-:1.2-org.example.Daemon@0.service", .excluded = true},
        {.name = "D-Bus activation of a visible application", .executable = editor, .arguments = arguments,
         .cgroup = appSlice + "dbus-:1.7-org.example.Editor@0.service", .programId = "org.example.Editor",
         .unitId = "org.example.Editor"},
        {.name = "autostart unit of no application", .executable = daemon, .arguments = daemonArguments,
         .cgroup = appSlice + "app-gnome-xdg\\x2duser\\x2ddirs-99.scope", .excluded = true},
        {.name = "system autostart of a NoDisplay entry", .executable = daemon, .arguments = daemonArguments,
         .cgroup = appSlice + "app-gnome-org.example.Tray-98.scope", .excluded = true},
        {.name = "KDE autostart instance", .executable = daemon, .arguments = daemonArguments,
         .cgroup = appSlice + "app-org.example.Daemon@autostart.service", .excluded = true},
        {.name = "autostart file with a visible application's ID", .executable = editor, .arguments = arguments,
         .cgroup = appSlice + "app-gnome-org.example.Editor-77.scope", .programId = "org.example.Editor",
         .unitId = "org.example.Editor"},
        {.name = "login session scope is judged by program", .executable = editor, .arguments = arguments,
         .cgroup = "/user.slice/user-" + std::to_string(::getuid()) + ".slice/session-2.scope",
         .programId = "org.example.Editor"},
        {.name = "a unit merely named like the session slice", .executable = editor, .arguments = arguments,
         .cgroup = appSlice + "app-gnome-my.session.slice.tool-5.scope", .programId = "org.example.Editor",
         .unitId = "my.session.slice.tool"},
        {.name = "hidden executable in session.slice", .arguments = daemonArguments,
         .cgroup = manager + "session.slice/org.gnome.Shell@wayland.service", .excluded = true},
        // "systemd-run --user --slice=session.slice game" must not exempt a game from its rules.
        {.name = "an application's program moved into session.slice", .executable = editor, .arguments = arguments,
         .cgroup = manager + "session.slice/run-u12.service", .programId = "org.example.Editor"},
        {.name = "an application's program in a D-Bus unit", .executable = editor, .arguments = arguments,
         .cgroup = appSlice + "dbus-:1.2-org.freedesktop.portal.Desktop@0.service", .programId = "org.example.Editor"},
        {.name = "an application's program hiding its executable in background.slice", .arguments = arguments,
         .cgroup = manager + "background.slice/run-u13.service", .programId = "org.example.Editor"},
    });
}

TEST_F(ApplicationClassifierTest, TheAgentAndOtherUsersAreExcluded)
{
    const auto bundle = folder.path() / "Tessary" / "Contents";
    writeProcess({.pid = 7, .command = "PellixApp", .executable = bundle / "bin" / "PellixApp", .arguments = {"PellixApp"}});
    writeProcess({.pid = 8, .command = "tessary-chrome-host", .executable = bundle / "Helpers" / "tessary-chrome-host",
                  .arguments = {"tessary-chrome-host"}});
    writeProcess({.pid = 10, .command = "editor", .executable = bin / "editor", .arguments = {"editor"}});
    const ProcFileSystem proc(paths.procRoot);
    const auto classify = classifier();
    EXPECT_TRUE(classify.isExcluded(*proc.read(7))) << "the agent itself";
    EXPECT_TRUE(classify.isExcluded(*proc.read(8))) << "a helper from the agent's bundle";
    EXPECT_FALSE(classify.isExcluded(*proc.read(10))) << "an application of this user";
    EXPECT_TRUE(classifier(::getuid() + 1).isExcluded(*proc.read(10))) << "another user's process";
}

TEST_F(ApplicationClassifierTest, TheUsersOwnEntriesCannotTakeAProgramFromItsApplication)
{
    entry(paths.dataHome, "org.example.Editor", "Name=My Editor\nNoDisplay=true\nExec=editor\n");
    entry(paths.dataHome, "homework", "Name=Homework\nExec=" + (bin / "viewer").string() + "\n");
    entry(paths.dataHome, "org.example.Own", "Name=Own Tool\nExec=" + (bin / "cat").string() + "\n");
    const auto classify = classifier();
    const auto& index = classify.index();
    // Names follow precedence: the user's hiding entry masks the system one's name.
    EXPECT_FALSE(index.hasApplication("org.example.Hidden"));
    EXPECT_EQ(index.nameFor("org.example.Editor"), "My Editor");
    // Programs do not: what a visible entry anywhere starts stays identified.
    EXPECT_EQ(index.idForProgram(bin / "hidden-tool"), "org.example.Hidden");
    EXPECT_EQ(index.idForProgram(bin / "editor"), "org.example.Editor");
    EXPECT_TRUE(index.isVisibleApplication("org.example.Editor"));
    EXPECT_EQ(index.idForProgram(bin / "viewer"), "org.example.Viewer");
    EXPECT_EQ(index.idForProgram(bin / "cat"), "org.example.Own");
    EXPECT_EQ(index.idForProgram(bin / "python3.11"), std::nullopt) << "an interpreter is never an application";
}

}  // namespace
}  // namespace tessary
