#include <cerrno>
#include <map>
#include <set>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/MemoryLogSink.h"
#include "platform/linux/ApplicationTracker.h"
#include "tests/support/SyntheticSession.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::TemporaryFolder;

constexpr const char* kAppSlice = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
constexpr const char* kSessionSlice = "/user.slice/user-1000.slice/user@1000.service/session.slice/";
constexpr const char* kLoginScope = "/user.slice/user-1000.slice/session-2.scope";

// The tracker over a synthetic session: desktop entries, programs and a /proc tree in a
// temporary folder, time that moves only when told, and process descriptors that are eventfds
// (or run out on request).
class ApplicationTrackerTest : public ::testing::Test, protected testing::SyntheticSession {
protected:
    ApplicationTrackerTest() : SyntheticSession(kLoginScope)
    {
        for (const auto* name : {"editor", "game", "terminal", "shell", "python3"})
            program(bin / name);
        TemporaryFolder::writeFile(folder.path() / "games" / "game.py", "print('hi')\n");
        entry("org.example.Editor", "Name=Example Editor\nExec=editor %F\n");
        entry("org.example.Game", "Name=Fun Game\nExec=" + (bin / "game").string() + "\n");
        entry("org.example.Terminal", "Name=Terminal\nExec=terminal\n");
        entry("org.example.PyGame", "Name=Snake\nExec=python3 " + (folder.path() / "games" / "game.py").string() + "\n");
        TemporaryFolder::writeFile(paths.procRoot / "loadavg", "0.10 0.20 0.30 2/345 98765\n");

        ApplicationClassifier::Exclusions exclusions;
        exclusions.uid = ::getuid();
        exclusions.agentPid = 1;
        exclusions.agentBundle = folder.path() / "Tessary";
        exclusions.agentIds = {"app.brenmoor.tessary"};
        classifier = std::make_unique<ApplicationClassifier>(exclusions, bin.string());
        DesktopEntryIndex::Roots roots;
        roots.dataDirs = {paths.dataHome, paths.dataDirs[0]};
        roots.configDirs = {paths.configHome};
        roots.searchPath = bin.string();
        classifier->setIndex(DesktopEntryIndex::load(roots));

        auto proc = std::make_shared<ProcFileSystem>(paths.procRoot);
        handles = std::make_shared<ProcessHandles>(proc, [this](pid_t pid) { return openDescriptor(pid); }, log);
        tracker = std::make_unique<ApplicationTracker>(handles, *classifier, ::getuid(), 1s, [this] { return now; });
    }

    // Writes /proc/PID, naming the process after its executable unless told otherwise.
    void write(Process p)
    {
        if (p.command.empty())
            p.command = p.executable.empty() ? "unknown" : p.executable.filename().string();
        if (p.arguments.empty() && !p.executable.empty())
            p.arguments = {p.executable.string()};
        writeProcess(p);
    }

    std::optional<Pidfd> openDescriptor(pid_t pid)
    {
        if (outOfDescriptors) {
            errno = EMFILE;
            return std::nullopt;
        }
        if (!std::filesystem::exists(paths.procRoot / std::to_string(pid)) || exitedNotReaped.contains(pid)) {
            errno = exitedNotReaped.contains(pid) ? ENOENT : ESRCH;
            return std::nullopt;
        }
        const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        descriptorPids[fd] = pid;
        return Pidfd(fd);
    }

    // Removes the process; the descriptors of every process gone report the exit.
    std::vector<ApplicationTracker::Change> exit(pid_t pid)
    {
        removeProcess(pid);
        std::vector<ApplicationTracker::Change> changes;
        for (const int fd : tracker->exitDescriptors())
            if (!std::filesystem::exists(paths.procRoot / std::to_string(descriptorPids[fd])))
                tracker->processExited(fd, changes);
        return changes;
    }

    // What one call of the tracker reports.
    template <typename Call>
    std::vector<ApplicationTracker::Change> collect(Call call)
    {
        std::vector<ApplicationTracker::Change> changes;
        call(changes);
        return changes;
    }
    std::vector<ApplicationTracker::Change> scan()
    {
        return collect([&](auto& changes) { tracker->scan(changes); });
    }
    std::vector<ApplicationTracker::Change> probe(pid_t first, pid_t last)
    {
        return collect([&](auto& changes) { tracker->probe(first, last, changes); });
    }
    std::vector<ApplicationTracker::Change> recheckAll()
    {
        return collect([&](auto& changes) { tracker->recheckAll(changes); });
    }
    std::vector<ApplicationTracker::Change> recheckRecent()
    {
        return collect([&](auto& changes) { tracker->recheckRecent(true, changes); });
    }

    static std::string describe(const std::vector<ApplicationTracker::Change>& changes)
    {
        std::string text;
        // A launch that carries other identifiers lists them in brackets.
        for (const auto& change : changes) {
            text += (change.launched ? "+" : "-") + change.application->id();
            std::string others;
            for (const auto& id : change.application->otherIdentifiers())
                others += (others.empty() ? "" : ",") + id;
            text += (others.empty() ? "" : "[" + others + "]") + " ";
        }
        return text;
    }

    std::chrono::steady_clock::time_point now{};
    bool outOfDescriptors = false;
    std::set<pid_t> exitedNotReaped;
    std::map<int, pid_t> descriptorPids;
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::unique_ptr<ApplicationClassifier> classifier;
    std::shared_ptr<ProcessHandles> handles;
    std::unique_ptr<ApplicationTracker> tracker;
};

TEST_F(ApplicationTrackerTest, AnExecInAProcessOfAnyAgeIsIdentified)
{
    write({.pid = 100, .executable = bin / "shell"});
    EXPECT_EQ(describe(scan()), "");
    now += 1h;

    // `exec game` typed into a shell that has run for an hour.
    write({.pid = 100, .executable = bin / "game"});
    EXPECT_EQ(describe(recheckRecent()), "") << "only young processes are looked at on every look";
    const auto changes = recheckAll();
    ASSERT_EQ(describe(changes), "+org.example.Game ");
    EXPECT_EQ(changes[0].application->localizedName(), "Fun Game");
    EXPECT_EQ(describe(recheckAll()), "") << "an unchanged image is not identified twice";

    // A wrapper that execs its program while still young is caught by the quick look.
    write({.pid = 120, .parent = 100, .executable = bin / "shell"});
    EXPECT_EQ(describe(probe(120, 120)), "");
    write({.pid = 120, .parent = 100, .executable = bin / "editor"});
    EXPECT_EQ(describe(recheckRecent()), "+org.example.Editor ");
}

TEST_F(ApplicationTrackerTest, AChildReadBetweenForkAndExecLeavesItsParentsInstance)
{
    scan();
    write({.pid = 200, .executable = bin / "terminal"});
    const auto launched = probe(200, 200);
    ASSERT_EQ(describe(launched), "+org.example.Terminal ");
    const auto terminal = launched[0].application;

    // The shell forked by the terminal, read before its exec: part of the terminal.
    write({.pid = 201, .parent = 200, .executable = bin / "terminal"});
    EXPECT_EQ(describe(probe(201, 201)), "");
    now += 10s;
    // Its exec of a program that is no application keeps it there.
    write({.pid = 201, .parent = 200, .executable = bin / "shell"});
    EXPECT_EQ(describe(recheckAll()), "");
    EXPECT_EQ(terminal->processes().size(), 2U);

    // Then `exec game` in that shell: the game is launched, the terminal keeps running.
    write({.pid = 201, .parent = 200, .executable = bin / "game"});
    const auto changes = recheckAll();
    ASSERT_EQ(describe(changes), "+org.example.Game ");
    EXPECT_EQ(terminal->processes().size(), 1U);
    EXPECT_EQ(changes[0].application->processes().size(), 1U);
}

TEST_F(ApplicationTrackerTest, AReusedPidIsANewProcessAndAnEndedInstanceIsNeverJoined)
{
    scan();
    write({.pid = 300, .startTime = 1000, .executable = bin / "game"});
    ASSERT_EQ(describe(probe(300, 300)), "+org.example.Game ");
    // It ends unnoticed (no descriptor event) and its PID goes to an editor.
    removeProcess(300);
    write({.pid = 300, .startTime = 2000, .executable = bin / "editor"});
    EXPECT_EQ(describe(probe(300, 300)), "-org.example.Game +org.example.Editor ");

    // An application unit whose instance ended: the next process in a unit of that name is a
    // new launch, not a member of the ended instance.
    const std::string unit = std::string(kAppSlice) + "app-gnome-org.example.Editor-400.scope";
    write({.pid = 400, .executable = bin / "shell", .cgroup = unit});
    const auto first = probe(400, 400);
    ASSERT_EQ(describe(first), "+org.example.Editor ");
    EXPECT_EQ(describe(exit(400)), "-org.example.Editor ");
    write({.pid = 401, .startTime = 9000, .executable = bin / "shell", .cgroup = unit});
    const auto second = probe(401, 401);
    ASSERT_EQ(describe(second), "+org.example.Editor ");
    EXPECT_NE(second[0].application, first[0].application);
}

TEST_F(ApplicationTrackerTest, AnInstanceHoldsOneDescriptorWhateverItsSize)
{
    scan();
    write({.pid = 500, .executable = bin / "editor"});
    const auto launched = probe(500, 500);
    ASSERT_EQ(describe(launched), "+org.example.Editor ");
    for (pid_t pid = 501; pid <= 550; ++pid)
        write({.pid = pid, .parent = 500, .executable = bin / "editor"});
    EXPECT_EQ(describe(probe(501, 550)), "") << "children join the instance";
    EXPECT_EQ(launched[0].application->processes().size(), 51U);
    EXPECT_EQ(tracker->exitDescriptors().size(), 1U);

    // The watched process ends: the watch moves to a survivor, and the end comes with the last.
    EXPECT_EQ(describe(exit(500)), "");
    ASSERT_EQ(tracker->exitDescriptors().size(), 1U);
    for (pid_t pid = 501; pid < 550; ++pid)
        removeProcess(pid);
    EXPECT_EQ(describe(exit(550)), "-org.example.Editor ");
    EXPECT_TRUE(tracker->exitDescriptors().empty());
}

TEST_F(ApplicationTrackerTest, WithoutDescriptorsProcessesAreStillJudgedAndTheirEndFound)
{
    scan();
    outOfDescriptors = true;
    write({.pid = 600, .executable = bin / "game"});
    ASSERT_EQ(describe(probe(600, 600)), "+org.example.Game ");
    write({.pid = 601, .executable = bin / "editor"});
    ASSERT_EQ(describe(probe(601, 601)), "+org.example.Editor ");
    EXPECT_EQ(log->records().size(), 1U) << "the failure is logged once";
    EXPECT_TRUE(tracker->exitDescriptors().empty());

    removeProcess(600);
    EXPECT_EQ(describe(scan()), "-org.example.Game ") << "the listing notices the end";
    outOfDescriptors = false;
    EXPECT_EQ(describe(scan()), "");
    EXPECT_EQ(tracker->exitDescriptors().size(), 1U) << "the survivor is watched once descriptors are back";
}

TEST_F(ApplicationTrackerTest, AProcessThatExitedBeforeItsDescriptorWasOpenedIsNoDescriptorShortage)
{
    scan();
    write({.pid = 610, .executable = bin / "game"});
    exitedNotReaped.insert(610);
    EXPECT_EQ(describe(probe(610, 610)), "");
    EXPECT_TRUE(log->records().empty());
    write({.pid = 611, .executable = bin / "game"});
    EXPECT_EQ(describe(probe(611, 611)), "+org.example.Game ");
    EXPECT_EQ(tracker->exitDescriptors().size(), 1U);
}

TEST_F(ApplicationTrackerTest, UnreadableExecutablesInterpretersAndSessionProcesses)
{
    scan();
    struct Row {
        const char* what;
        Process process;
        const char* expected;
    };
    const std::string python = (bin / "python3").string();
    const std::string script = (folder.path() / "games" / "game.py").string();
    const std::vector<Row> rows = {
        {"not dumpable, known by its command line", {.pid = 700, .arguments = {(bin / "game").string()}}, "+org.example.Game "},
        {"not dumpable, in its application unit",
         {.pid = 701, .arguments = {"whatever"}, .cgroup = std::string(kAppSlice) + "app-gnome-org.example.Editor-701.scope"},
         "+org.example.Editor "},
        {"a script entry run by its interpreter", {.pid = 702, .executable = bin / "python3", .arguments = {python, script}},
         "+org.example.PyGame "},
        {"the same interpreter running something else",
         {.pid = 703, .executable = bin / "python3", .arguments = {python, "-c", "print(1)"}}, ""},
        {"the session's shell in the session slice",
         {.pid = 704, .executable = bin / "shell", .cgroup = std::string(kSessionSlice) + "org.gnome.Shell@x11.service"}, ""},
        {"an application's program moved into the session slice",
         {.pid = 706, .executable = bin / "editor", .cgroup = std::string(kSessionSlice) + "run-u7.service"},
         "+org.example.Editor "},
        {"a kernel thread", {.pid = 705, .command = "kworker/0:1", .arguments = {}}, ""},
        {"a game started in a scope named after the editor",
         {.pid = 707, .executable = bin / "game", .cgroup = std::string(kAppSlice) + "app-gnome-org.example.Editor-707.scope"},
         "+org.example.Editor[org.example.Game] "},
    };
    for (const auto& row : rows) {
        write(row.process);
        EXPECT_EQ(describe(probe(row.process.pid, row.process.pid)), row.expected) << row.what;
    }
}

}  // namespace
}  // namespace tessary
