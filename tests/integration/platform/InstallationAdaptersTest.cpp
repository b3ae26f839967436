#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "agent/bridge/NativeMessagingHost.h"
#include "platform/linux/AtomicFile.h"
#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/BoundedCommand.h"
#include "platform/linux/HostManifestFile.h"
#include "platform/linux/ManagedBrowserPolicy.h"
#include "platform/linux/LaunchEnvironment.h"
#include "platform/linux/ExecutableOnDisk.h"
#include "platform/linux/ScopedFd.h"
#include "platform/linux/SystemctlServiceManager.h"
#include "platform/linux/SystemdExec.h"
#include "platform/linux/SystemdKeepAliveUnit.h"
#include "platform/linux/SystemdWatchdog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EnvironmentOverride.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TemporaryFolder;

bool isPresent(const std::filesystem::path& path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

// An executable (a copy of true) at a path with characters both file formats must quote.
std::filesystem::path oddExecutable(const TemporaryFolder& folder, const std::string& folderName)
{
    const auto executable = folder.path() / "opt" / folderName / "PellixApp";
    std::filesystem::create_directories(executable.parent_path());
    std::filesystem::copy_file("/bin/true", executable);
    std::filesystem::permissions(executable, std::filesystem::perms(0755));
    return executable;
}

// --- The one atomic writer ---

TEST(AtomicFileTest, WritesTheContentWithTheGivenModeWhateverTheUmask)
{
    TemporaryFolder folder;
    const auto file = folder.path() / "a" / "b" / "file";
    const auto previous = ::umask(0077);
    const auto first = AtomicFile::write(file, "first\n", 0644);
    const auto second = AtomicFile::write(folder.path() / "private", "secret", 0600);
    ::umask(previous);
    ASSERT_FALSE(first.has_value()) << first->description;
    ASSERT_FALSE(second.has_value()) << second->description;
    EXPECT_EQ(TemporaryFolder::readFile(file), "first\n");
    EXPECT_EQ(TemporaryFolder::modeOf(file), std::filesystem::perms(0644));
    EXPECT_EQ(TemporaryFolder::modeOf(folder.path() / "private"), std::filesystem::perms(0600));
    // Folders it had to create are the user's alone.
    EXPECT_EQ(TemporaryFolder::modeOf(folder.path() / "a"), std::filesystem::perms(0700));
    EXPECT_EQ(TemporaryFolder::modeOf(folder.path() / "a" / "b"), std::filesystem::perms(0700));
    EXPECT_EQ(TemporaryFolder::namesIn(file.parent_path()), std::vector<std::string>{"file"});
}

TEST(AtomicFileTest, AnExistingFileIsReplacedNotOverwritten)
{
    TemporaryFolder folder;
    const auto file = folder.path() / "manifest.json";
    ASSERT_FALSE(AtomicFile::write(file, "old content", 0600).has_value());
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    // A reader that opened the old file keeps reading the old bytes, whole.
    std::ifstream reader(file, std::ios::binary);
    ASSERT_TRUE(reader.is_open());

    ASSERT_FALSE(AtomicFile::write(file, "new", 0644).has_value());
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(TemporaryFolder::readFile(file), "new");
    EXPECT_EQ(TemporaryFolder::modeOf(file), std::filesystem::perms(0644));
    const std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, "old content");
    EXPECT_EQ(TemporaryFolder::namesIn(folder.path()), std::vector<std::string>{"manifest.json"});
}

TEST(AtomicFileTest, NoTemporaryFileRemainsWhenTheRenameFails)
{
    TemporaryFolder folder;
    // A folder with something in it cannot be replaced by a file.
    const auto destination = folder.path() / "taken";
    TemporaryFolder::writeFile(destination / "inside", "x");
    const auto failure = AtomicFile::write(destination, "content", 0644);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->description.find(destination.string()), std::string::npos) << failure->description;
    EXPECT_EQ(TemporaryFolder::namesIn(folder.path()), std::vector<std::string>{"taken"});
    EXPECT_EQ(TemporaryFolder::namesIn(destination), std::vector<std::string>{"inside"});
}

TEST(AtomicFileTest, NoTemporaryFileRemainsWhenTheWriteFails)
{
    TemporaryFolder folder;
    const auto file = folder.path() / "file";
    ASSERT_FALSE(AtomicFile::write(file, "kept", 0644).has_value());
    // A file size limit makes the write itself fail (EFBIG instead of the signal).
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    rlimit small = original;
    small.rlim_cur = 16;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto failure = AtomicFile::write(file, std::string(4096, 'x'), 0644);
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(TemporaryFolder::readFile(file), "kept");
    EXPECT_EQ(TemporaryFolder::namesIn(folder.path()), std::vector<std::string>{"file"});
}

TEST(AtomicFileTest, ALinkIsReplacedWholeToo)
{
    TemporaryFolder folder;
    const auto link = folder.path() / "wants" / "unit.service";
    ASSERT_FALSE(AtomicFile::writeLink(link, "../first").has_value());
    EXPECT_EQ(std::filesystem::read_symlink(link), "../first");
    ASSERT_FALSE(AtomicFile::writeLink(link, "../second").has_value());
    EXPECT_EQ(std::filesystem::read_symlink(link), "../second");
    EXPECT_EQ(TemporaryFolder::namesIn(link.parent_path()), std::vector<std::string>{"unit.service"});
}

// --- Quoting of the program for systemd ---

TEST(SystemdExecTest, ProgramPathsAreWrittenAsSystemdReadsThem)
{
    struct Row {
        const char* name;
        const char* path;
        std::optional<std::string> written;
    };
    const Row rows[] = {
        {"plain", "/opt/tessary/Contents/bin/PellixApp", "/opt/tessary/Contents/bin/PellixApp"},
        {"space: quoted", "/home/a b/PellixApp", "\"/home/a b/PellixApp\""},
        {"percent: a specifier unless doubled", "/x/100%/PellixApp", "/x/100%%/PellixApp"},
        {"dollar: no variables in the program path", "/x/$HOME/PellixApp", "/x/$HOME/PellixApp"},
        {"both, with a space", "/x/a b$c%d/PellixApp", "\"/x/a b$c%%d/PellixApp\""},
        {"double quote: refused by systemd", "/x/\"q\"/PellixApp", std::nullopt},
        {"single quote: refused by systemd", "/x/it's/PellixApp", std::nullopt},
        {"backslash: refused by systemd", "/x/a\\b/PellixApp", std::nullopt},
        {"newline: refused by systemd", "/x/a\nb/PellixApp", std::nullopt},
        {"relative", "bin/PellixApp", std::nullopt},
        {"not UTF-8", "/x/\xff/PellixApp", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SystemdExec::program(row.path), row.written) << row.name;
}

// --- The keep-alive unit ---

class KeepAliveUnitTest : public ::testing::Test {
protected:
    KeepAliveUnitTest() : paths(folder.paths()), unit(paths) {}

    TemporaryFolder folder;
    Paths paths;
    SystemdKeepAliveUnit unit;
};

TEST_F(KeepAliveUnitTest, InstallWritesTheUnitAndLinksItToTheGraphicalSessionOnly)
{
    const std::filesystem::path executable = "/opt/tessary/Contents/bin/PellixApp";
    const auto earlierLink = paths.configHome / "systemd" / "user" / "default.target.wants" /
                             "app.brenmoor.tessary.keepalive.service";
    std::filesystem::create_directories(earlierLink.parent_path());
    std::filesystem::create_symlink("../app.brenmoor.tessary.keepalive.service", earlierLink);

    ASSERT_FALSE(unit.install(executable).has_value());
    EXPECT_EQ(unit.unitPath(), paths.configHome / "systemd" / "user" / "app.brenmoor.tessary.keepalive.service");
    EXPECT_EQ(TemporaryFolder::modeOf(unit.unitPath()), std::filesystem::perms(0644));
    const auto link = paths.configHome / "systemd" / "user" / "graphical-session.target.wants" /
                      "app.brenmoor.tessary.keepalive.service";
    EXPECT_EQ(unit.wantsLinkPath(), link);
    EXPECT_EQ(std::filesystem::read_symlink(link), "../app.brenmoor.tessary.keepalive.service");
    EXPECT_FALSE(isPresent(earlierLink));

    const auto content = TemporaryFolder::readFile(unit.unitPath());
    for (const auto* line : {"PartOf=graphical-session.target", "After=graphical-session.target",
                             "WantedBy=graphical-session.target", "Restart=always", "RestartSec=1",
                             "RestartPreventExitStatus=75", "SuccessExitStatus=75", "NotifyAccess=main",
                             "WatchdogSec=30", "WatchdogSignal=SIGKILL",
                             "ExecStopPost=/bin/sh -c 'test \"$$SERVICE_RESULT\" != watchdog || : > "
                             "\"%t/app.brenmoor.tessary.watchdog-restart\"'",
                             "Environment=TESSARY_LAUNCHED_BY=app.brenmoor.tessary.keepalive",
                             "ExecStart=/opt/tessary/Contents/bin/PellixApp"})
        EXPECT_NE(content.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(content.find("default.target"), std::string::npos);

    EXPECT_TRUE(unit.remove());
    EXPECT_FALSE(isPresent(unit.unitPath()));
    EXPECT_FALSE(isPresent(link));
    EXPECT_FALSE(unit.remove());
}

TEST_F(KeepAliveUnitTest, TheSystemsUnitStandsInUntilTheUserHasOneAndIsNeverTouched)
{
    const std::filesystem::path executable = "/opt/tessary/Contents/bin/PellixApp";
    const auto systems = *SystemdKeepAliveUnit::unitContent(executable);
    TemporaryFolder::writeFile(unit.systemWideUnitPath(), systems);
    EXPECT_EQ(unit.systemWideUnitPath(), paths.systemUserUnitDir / "app.brenmoor.tessary.keepalive.service");
    EXPECT_EQ(unit.definition(executable), KeepAliveAgent::Definition::current);
    EXPECT_EQ(unit.definition("/home/child/Tessary/Contents/bin/PellixApp"), KeepAliveAgent::Definition::foreign);
    EXPECT_EQ(unit.definition(""), KeepAliveAgent::Definition::foreign) << "no program known";

    // Its own link enables it: nothing is linked in the user's folder, and removal leaves it.
    ASSERT_FALSE(unit.enable().has_value());
    EXPECT_FALSE(isPresent(unit.wantsLinkPath()));
    EXPECT_FALSE(unit.remove());
    EXPECT_EQ(TemporaryFolder::readFile(unit.systemWideUnitPath()), systems);

    // The manager reads the user's folder first, so a unit there is the one that counts.
    TemporaryFolder::writeFile(unit.unitPath(), "[Service]\nExecStart=/bin/true\n");
    EXPECT_EQ(unit.definition(executable), KeepAliveAgent::Definition::foreign);
}

TEST_F(KeepAliveUnitTest, EnableLeavesAnotherFileInTheEarlierFolderAlone)
{
    ASSERT_FALSE(unit.install("/opt/tessary/Contents/bin/PellixApp").has_value());
    TemporaryFolder::writeFile(unit.earlierWantsLinkPath(), "a file someone made, not our link");
    ASSERT_FALSE(unit.enable().has_value());
    EXPECT_TRUE(std::filesystem::is_regular_file(unit.earlierWantsLinkPath()));
}

// systemd's own reading of the unit as written: skipped where systemd-analyze is not installed.
// As root in a container without a running systemd, --user verification works once a runtime
// folder is given; output that names other units (the environment's) is not this unit's fault.
std::pair<int, std::string> verify(const Paths& paths, const std::filesystem::path& unitFile)
{
    std::filesystem::permissions(paths.runtimeDir, std::filesystem::perms::owner_all);
    return ChildProcess::run({"sh", "-c", "exec systemd-analyze --user verify \"$0\" 2>&1", unitFile.string()},
                             {{"HOME", paths.home.string()},
                              {"XDG_CONFIG_HOME", paths.configHome.string()},
                              {"XDG_RUNTIME_DIR", paths.runtimeDir.string()},
                              {"SYSTEMD_LOG_LEVEL", "warning"}});
}

bool hasSystemdAnalyze()
{
    return ChildProcess::run({"sh", "-c", "command -v systemd-analyze >/dev/null"}).first == 0;
}

TEST_F(KeepAliveUnitTest, SystemdAcceptsTheUnitAsWritten)
{
    if (!hasSystemdAnalyze())
        TESSARY_SKIP_WITHOUT("systemd-analyze is not installed");
    const auto executable = oddExecutable(folder, "a b$c%d");
    ASSERT_FALSE(unit.install(executable).has_value());
    const auto [status, output] = verify(paths, unit.unitPath());
    EXPECT_TRUE(status == 0 || output.find("app.brenmoor.tessary.keepalive") == std::string::npos)
        << TemporaryFolder::readFile(unit.unitPath()) << output;

    // The check is a real one: a program that is not there is reported against the unit.
    std::filesystem::remove(executable);
    const auto [missingStatus, missingOutput] = verify(paths, unit.unitPath());
    EXPECT_NE(missingStatus, 0);
    EXPECT_NE(missingOutput.find("is not executable"), std::string::npos) << missingOutput;
}

// --- The autostart entry as the session reads it ---

TEST(AutostartEntryTest, SystemdsAutostartGeneratorFindsTheProgram)
{
    const std::filesystem::path generator = "/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator";
    if (!std::filesystem::exists(generator))
        TESSARY_SKIP_WITHOUT("systemd's autostart generator is not installed");
    TemporaryFolder folder;
    const auto paths = folder.paths();
    // No %: the generator looks for the program before it undoes %% (the entry is still right).
    const auto executable = oddExecutable(folder, "q\"x`z$w (1)");
    ASSERT_FALSE(AutostartLoginItem(paths, executable).registerAgent().has_value());
    const auto output = folder.path() / "generated";
    std::filesystem::create_directories(output);
    const auto [status, ignored] =
        ChildProcess::run({generator.string(), output.string(), output.string(), output.string()},
                          {{"XDG_CONFIG_HOME", paths.configHome.string()},
                           {"XDG_CONFIG_DIRS", (folder.path() / "no-system-entries").string()}});
    EXPECT_EQ(status, 0);
    // It writes a unit only for an entry whose Exec= it could read and whose program exists.
    EXPECT_TRUE(std::filesystem::exists(output / "app-app.brenmoor.tessary@autostart.service"))
        << TemporaryFolder::readFile(paths.configHome / "autostart" / "app.brenmoor.tessary.desktop");
}

// --- The Chrome manifest ---

TEST(HostManifestFileTest, LivesInTheLinuxChromeFolderReadableByChrome)
{
    TemporaryFolder folder;
    const auto paths = folder.paths();
    const auto manifest = HostManifestFile::chrome(paths, "app.brenmoor.tessary");
    EXPECT_EQ(manifest->browserName(), "Chrome");
    EXPECT_EQ(manifest->path(),
              paths.configHome / "google-chrome" / "NativeMessagingHosts" / "app.brenmoor.tessary.json");
    EXPECT_FALSE(manifest->remove());
    ASSERT_FALSE(manifest->write("{}").has_value());
    EXPECT_EQ(TemporaryFolder::readFile(manifest->path()), "{}");
    EXPECT_EQ(TemporaryFolder::modeOf(manifest->path()), std::filesystem::perms(0644));
    EXPECT_TRUE(manifest->remove());
    EXPECT_TRUE(std::filesystem::is_directory(manifest->path().parent_path()));
}

// Where each is written and when a browser counts as present; what is written where, and when, is
// NativeMessagingHostTest's, InstallationKeeperTest's and OtherBrowsersLifecycleTest's.
TEST(HostManifestFileTest, OtherBrowsersHaveTheirOwnFolderAndArePresentWhereTheyHaveRun)
{
    struct Row {
        const char* browser;
        std::filesystem::path configFolder;
    };
    const Row rows[] = {
        {"Chromium", "chromium"},
        {"Brave", "BraveSoftware/Brave-Browser"},
        {"Microsoft Edge", "microsoft-edge"},
        {"Vivaldi", "vivaldi"},
    };
    TemporaryFolder folder;
    const auto paths = folder.paths();
    const auto files = HostManifestFile::otherBrowsers(paths, NativeMessagingHost::kChromeHostName);
    ASSERT_EQ(files.size(), std::size(rows));
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(rows[i].browser);
        EXPECT_EQ(files[i]->browserName(), rows[i].browser);
        EXPECT_EQ(files[i]->path(),
                  paths.configHome / rows[i].configFolder / "NativeMessagingHosts" / "app.brenmoor.tessary.json");
        EXPECT_FALSE(files[i]->isBrowserPresent());
        std::filesystem::create_directories(paths.configHome / rows[i].configFolder);
        EXPECT_TRUE(files[i]->isBrowserPresent());
        ASSERT_FALSE(files[i]->write("{}").has_value());
        EXPECT_EQ(TemporaryFolder::modeOf(files[i]->path()), std::filesystem::perms(0644));
        EXPECT_TRUE(files[i]->remove());
        EXPECT_FALSE(std::filesystem::exists(files[i]->path()));
        EXPECT_TRUE(std::filesystem::is_directory(files[i]->path().parent_path())) << "the folder stays";
    }
}

TEST(ManagedBrowserPolicyTest, OnlyAPolicyFileOnlyRootCanChangeCountsAsInstalled)
{
    struct Row {
        const char* name;
        const char* folder;  // below the root; null: none written
        std::filesystem::perms mode;
        bool link;
        bool installed;
    };
    using std::filesystem::perms;
    const Row rows[] = {
        {"none", nullptr, perms::none, false, false},
        {"Chromium's, as the package writes it", "etc/chromium/policies/managed", perms(0644), false, true},
        {"Vivaldi's alone", "etc/opt/vivaldi/policies/managed", perms(0644), false, true},
        {"writable by others", "etc/chromium/policies/managed", perms(0666), false, false},
        {"writable by the group", "etc/opt/chrome/policies/managed", perms(0664), false, false},
        {"a link", "etc/chromium/policies/managed", perms(0644), true, false},
        {"another browser's folder", "etc/firefox/policies/managed", perms(0644), false, false},
    };
    for (const auto& row : rows) {
        TemporaryFolder root;
        if (row.folder != nullptr) {
            const auto file = root.path() / row.folder / ManagedBrowserPolicy::kPolicyFileName;
            const auto target = row.link ? root.path() / "policy.json" : file;
            TemporaryFolder::writeFile(target, "{}");
            std::filesystem::permissions(target, row.mode);
            if (row.link) {
                std::filesystem::create_directories(file.parent_path());
                std::filesystem::create_symlink(target, file);
            }
        }
        const bool ownedByRoot = ::geteuid() == 0;
        EXPECT_EQ(ManagedBrowserPolicy(root.path()).isInstalledSystemWide(), row.installed && ownedByRoot) << row.name;
    }
}

// --- Running helper programs ---

TEST(BoundedCommandTest, ReturnsTheOutputAndTheStatus)
{
    const auto result = BoundedCommand::run({"sh", "-c", "echo one; echo two; exit 3"}, 5s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->output, "one\ntwo\n");
    EXPECT_EQ(result->exitStatus, 3);
    EXPECT_FALSE(BoundedCommand::run({"/nonexistent/tessary-helper"}, 5s).has_value());
    EXPECT_FALSE(BoundedCommand::run({"sh", "-c", "kill -9 $$"}, 5s).has_value());
}

TEST(BoundedCommandTest, AHelperPastItsLimitIsKilled)
{
    TemporaryFolder folder;
    const auto pidFile = folder.path() / "pid";
    const auto started = std::chrono::steady_clock::now();
    const auto result =
        BoundedCommand::run({"sh", "-c", "echo $$ > \"$0\"; exec sleep 30", pidFile.string()}, 300ms);
    EXPECT_FALSE(result.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    const auto pid = std::stoi(TemporaryFolder::readFile(pidFile));
    EXPECT_NE(::kill(pid, 0), 0) << "killed and reaped";
}

TEST(BoundedCommandTest, AGrandchildKeepingTheOutputOpenIsNotWaitedFor)
{
    const auto started = std::chrono::steady_clock::now();
    const auto result = BoundedCommand::run({"sh", "-c", "sleep 30 & echo $!"}, 10s);
    ASSERT_TRUE(result.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    ::kill(std::stoi(result->output), SIGKILL);
}

// --- The service manager through systemctl ---

// A stand-in for systemctl that answers as a user manager would and records its arguments.
class StandInSystemctl {
public:
    StandInSystemctl(const TemporaryFolder& folder, const std::string& showOutput, const std::string& environment,
                     int status = 0, const std::string& before = "")
        : program_(folder.path() / "bin" / "systemctl"), calls_(folder.path() / "calls")
    {
        TemporaryFolder::writeFile(folder.path() / "show", showOutput);
        TemporaryFolder::writeFile(folder.path() / "environment", environment);
        const auto here = folder.path().string();
        TemporaryFolder::writeFile(program_, "#!/bin/sh\n"
                                             "echo \"$*\" >> '" + calls_.string() + "'\n" + before +
                                                 "case \"$2\" in\n"
                                                 "  show) cat '" + here + "/show' ;;\n"
                                                 "  show-environment) cat '" + here + "/environment' ;;\n"
                                                 "esac\n"
                                                 "exit " + std::to_string(status) + "\n");
        std::filesystem::permissions(program_, std::filesystem::perms(0755));
    }

    std::string program() const { return program_.string(); }
    std::string calls() const { return TemporaryFolder::readFile(calls_); }

private:
    std::filesystem::path program_;
    std::filesystem::path calls_;
};

std::string shown(const std::string& sessionState, const std::string& fragment)
{
    return "Id=graphical-session.target\nActiveState=" + sessionState +
           "\nFragmentPath=/usr/lib/systemd/user/graphical-session.target\n\n"
           "FragmentPath=" + fragment + "\nActiveState=inactive\nId=app.brenmoor.tessary.keepalive.service\n";
}

TEST(SystemctlServiceManagerTest, ReadyOnlyWhenTheSessionRunsWithADisplayAndTheManagerReadsOurUnit)
{
    enum class Fragment { users, systems, elsewhere };
    struct Row {
        const char* name;
        const char* sessionState;
        Fragment fragment;
        const char* environment;
        int status;
        bool ready;
    };
    const Row rows[] = {
        {"graphical session, our unit, X11 display", "active", Fragment::users, "HOME=/h\nDISPLAY=:0\n", 0, true},
        {"the unit installed with the system", "active", Fragment::systems, "DISPLAY=:0\n", 0, true},
        {"Wayland display", "active", Fragment::users, "WAYLAND_DISPLAY=wayland-0\n", 0, true},
        {"session not started", "inactive", Fragment::users, "DISPLAY=:0\n", 0, false},
        {"the manager reads another folder", "active", Fragment::elsewhere, "DISPLAY=:0\n", 0, false},
        {"no display handed to the manager", "active", Fragment::users, "HOME=/h\nDISPLAY=\n", 0, false},
        {"no manager", "active", Fragment::users, "DISPLAY=:0\n", 1, false},
    };
    for (const auto& row : rows) {
        TemporaryFolder folder;
        const auto paths = folder.paths();
        SystemdKeepAliveUnit unit(paths);
        ASSERT_FALSE(unit.install("/opt/tessary/Contents/bin/PellixApp").has_value());
        TemporaryFolder::writeFile(unit.systemWideUnitPath(), "");
        TemporaryFolder::writeFile(folder.path() / "other" / "unit.service", "");
        const auto fragment = row.fragment == Fragment::users     ? unit.unitPath()
                              : row.fragment == Fragment::systems ? unit.systemWideUnitPath()
                                                                  : folder.path() / "other" / "unit.service";
        StandInSystemctl systemctl(folder, shown(row.sessionState, fragment.string()), row.environment, row.status);
        SystemctlServiceManager manager(SystemdKeepAliveUnit::kUnitName, {unit.unitPath(), unit.systemWideUnitPath()},
                                        systemctl.program());
        EXPECT_EQ(manager.canStartKeepAliveAgent(), row.ready) << row.name;
        EXPECT_EQ(systemctl.calls().rfind("--user show --property=Id --property=ActiveState --property=FragmentPath "
                                          "graphical-session.target app.brenmoor.tessary.keepalive.service\n",
                                          0),
                  0U)
            << row.name << "\n"
            << systemctl.calls();
    }
}

TEST(SystemctlServiceManagerTest, StartsWithoutWaitingForTheAgentAndReloads)
{
    TemporaryFolder folder;
    StandInSystemctl systemctl(folder, "", "");
    SystemctlServiceManager manager(SystemdKeepAliveUnit::kUnitName, {folder.path() / "unit"}, systemctl.program());
    EXPECT_TRUE(manager.startKeepAliveAgent());
    manager.reloadDefinitions();
    EXPECT_EQ(systemctl.calls(), "--user start --no-block app.brenmoor.tessary.keepalive.service\n"
                                 "--user daemon-reload\n");

    TemporaryFolder refusing;
    StandInSystemctl masked(refusing, "", "", 1);
    EXPECT_FALSE(SystemctlServiceManager(SystemdKeepAliveUnit::kUnitName, {refusing.path() / "unit"}, masked.program())
                     .startKeepAliveAgent());
}

TEST(SystemctlServiceManagerTest, AManagerThatDoesNotAnswerIsNotWaitedForLong)
{
    TemporaryFolder folder;
    StandInSystemctl systemctl(folder, "", "", 0, "exec sleep 30\n");
    SystemctlServiceManager manager(SystemdKeepAliveUnit::kUnitName, {folder.path() / "unit"}, systemctl.program(),
                                    200ms);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(manager.canStartKeepAliveAgent());
    EXPECT_FALSE(manager.startKeepAliveAgent());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

// --- Who started this copy ---

TEST(ExecutableOnDiskTest, AFileRenamedOverTheProgramIsAReplacementARemovedOneIsNot)
{
    TemporaryFolder folder;
    const auto program = folder.path() / "opt" / "tessary" / "PellixApp";
    TemporaryFolder::writeFile(program, "version 1");
    ExecutableOnDisk onDisk(program, program);
    EXPECT_FALSE(onDisk.isReplaced());
    TemporaryFolder::writeFile(program, "version 1, rewritten in place");
    EXPECT_FALSE(onDisk.isReplaced()) << "the same file";

    // As installers do: the new program beside the old, renamed over it.
    TemporaryFolder::writeFile(program.string() + ".dpkg-new", "version 2");
    std::filesystem::rename(program.string() + ".dpkg-new", program);
    EXPECT_TRUE(onDisk.isReplaced());

    std::filesystem::remove(program);
    EXPECT_FALSE(onDisk.isReplaced()) << "uninstalled, not updated";

    EXPECT_FALSE(ExecutableOnDisk(program, folder.path() / "never-there").isReplaced());
    EXPECT_FALSE(ExecutableOnDisk(std::filesystem::read_symlink("/proc/self/exe")).isReplaced())
        << "this test program, as it runs";
}

TEST(LaunchEnvironmentTest, TellsTheKeepAliveUnitTheSessionAndAPersonApart)
{
    struct Row {
        const char* name;
        const char* launchedBy;
        const char* autostart;
        const char* cgroup;
        LaunchOrigin origin;
    };
    constexpr auto autostartUnit = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                   "app-app.brenmoor.tessary@autostart.service\n";
    constexpr auto terminalShell = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                   "app-org.gnome.Terminal.slice/vte-spawn-1.scope\n";
    const Row rows[] = {
        {"the keep-alive unit", "app.brenmoor.tessary.keepalive", nullptr, autostartUnit, LaunchOrigin::keepAliveAgent},
        {"another unit's mark", "something.else", nullptr, terminalShell, LaunchOrigin::person},
        {"systemd's autostart unit", nullptr, nullptr, autostartUnit, LaunchOrigin::session},
        {"the session's autostart", nullptr, "gnome-session-42", terminalShell, LaunchOrigin::session},
        {"a person in a terminal", nullptr, nullptr, terminalShell, LaunchOrigin::person},
        {"empty marks, no cgroup", "", "", nullptr, LaunchOrigin::person},
    };
    TemporaryFolder folder;
    const testing::EnvironmentOverride launchedBy("TESSARY_LAUNCHED_BY", nullptr);
    const testing::EnvironmentOverride autostart("DESKTOP_AUTOSTART_ID", nullptr);
    for (const auto& row : rows) {
        launchedBy.set(row.launchedBy);
        autostart.set(row.autostart);
        const auto cgroup = folder.path() / "cgroup";
        std::filesystem::remove(cgroup);
        if (row.cgroup != nullptr)
            std::ofstream(cgroup) << row.cgroup;
        EXPECT_EQ(LaunchEnvironment::origin(cgroup), row.origin) << row.name;
    }
}

// What systemd puts in the environment is read strictly: anything malformed means no watchdog,
// never an exit. The datagram also reaches a socket in the abstract namespace.
TEST(SystemdWatchdogTest, ReadsTheIntervalStrictlyAndFeedsTheSocketNamed)
{
    struct Row {
        const char* name;
        const char* microseconds;
        bool ownPid;
        const char* otherPid;
        std::optional<std::chrono::milliseconds> interval;
    };
    using std::chrono::milliseconds;
    const Row rows[] = {
        {"as systemd sets it", "30000000", true, nullptr, milliseconds(30000)},
        {"no pid named", "2000000", false, nullptr, milliseconds(2000)},
        {"another process's", "2000000", false, "1", std::nullopt},
        {"a pid that is no number", "2000000", false, "12x", std::nullopt},
        {"not set", nullptr, false, nullptr, std::nullopt},
        {"empty", "", false, nullptr, std::nullopt},
        {"below a millisecond", "999", false, nullptr, std::nullopt},
        {"with a unit", "30s", false, nullptr, std::nullopt},
        {"negative", "-5000000", false, nullptr, std::nullopt},
        {"past 64 bits", "99999999999999999999999", false, nullptr, std::nullopt},
        {"longer than a day", "18446744073709551615", false, nullptr, milliseconds(24 * 3600 * 1000)},
    };
    const testing::EnvironmentOverride microseconds("WATCHDOG_USEC", nullptr);
    const testing::EnvironmentOverride pid("WATCHDOG_PID", nullptr);
    const std::string ownPid = std::to_string(::getpid());
    SystemdWatchdog watchdog("/nonexistent/notice");
    for (const auto& row : rows) {
        microseconds.set(row.microseconds);
        pid.set(row.ownPid ? ownPid.c_str() : row.otherPid);
        EXPECT_EQ(watchdog.interval(), row.interval) << row.name;
    }

    const std::string name = "tessary-watchdog-test-" + ownPid;
    const ScopedFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy(name.begin(), name.end(), address.sun_path + 1);
    ASSERT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    const testing::EnvironmentOverride target("NOTIFY_SOCKET", ("@" + name).c_str());
    watchdog.notifyRunning();
    watchdog.feed();
    for (const std::string expected : {"READY=1", "WATCHDOG=1"}) {
        char buffer[64];
        const auto size = ::recv(socket.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        ASSERT_GT(size, 0) << expected;
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(size)), expected);
    }
}

}  // namespace
}  // namespace tessary
