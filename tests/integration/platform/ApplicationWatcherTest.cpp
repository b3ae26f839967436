#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "agent/enforcement/AppBlocker.h"
#include "agent/enforcement/AppMonitor.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/ApplicationWatcher.h"
#include "platform/linux/EnvironmentPaths.h"
#include "platform/linux/ProcessApplication.h"
#include "tests/support/EnvironmentOverride.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/unit/enforcement/RecordingEventChannel.h"

extern char** environ;

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::ManualMainQueue;
using testing::TemporaryFolder;

class Recorder final : public WorkspaceObserver {
public:
    struct Event {
        bool launched;
        std::shared_ptr<RunningApplication> application;
    };
    void appDidLaunch(const std::shared_ptr<RunningApplication>& application) override
    {
        events.push_back({true, application});
    }
    void appDidTerminate(const std::shared_ptr<RunningApplication>& application) override
    {
        events.push_back({false, application});
    }
    std::vector<Event> launches() const
    {
        std::vector<Event> found;
        for (const auto& event : events)
            if (event.launched)
                found.push_back(event);
        return found;
    }
    std::string describe() const
    {
        std::string text;
        for (const auto& event : events)
            text += (event.launched ? "launch " : "terminate ") + event.application->bundleIdentifier().value_or("?") +
                    "; ";
        return text;
    }
    std::vector<Event> events;
};

// Real child processes under a temporary HOME whose XDG_DATA_DIRS hold the test's desktop
// entries; the programs are copies of sleep(1), so each has its own executable.
class ApplicationWatcherTest : public ::testing::TestWithParam<bool> {
protected:
    ApplicationWatcherTest()
        : home("HOME", (folder.path() / "home").c_str()),
          dataHome("XDG_DATA_HOME", nullptr),
          dataDirs("XDG_DATA_DIRS", (folder.path() / "share").c_str()),
          bin(folder.path() / "bin")
    {
        std::filesystem::create_directories(bin);
        for (const auto* name : {"test-editor", "test-game", "test-helper", "test-worker"})
            install(name);
        script("launch-editor", "#!/bin/sh\nsleep 0.1\nexec " + (bin / "test-editor").string() + " \"$@\"\n");
        script("wrapped-viewer", "#!/bin/sh\nsleep 0.1\nexec " + (bin / "test-worker").string() + " \"$@\"\n");
        script("suite", "#!/bin/sh\n" + (bin / "test-worker").string() + " 30 &\n" + (bin / "test-worker").string() +
                            " 30 &\nwait\n");
        entry("org.example.Editor", "Name=Example Editor\nExec=test-editor %F\n");
        entry("org.example.Game", "Name=Fun Game\nExec=" + (bin / "test-game").string() + "\n");
        entry("org.example.Viewer", "Name=Wrapped Viewer\nExec=wrapped-viewer\n");
        entry("org.example.Suite", "Name=Office Suite\nExec=suite\n");
        std::filesystem::create_directories(folder.path() / "Tessary" / "Contents" / "Helpers");
        std::filesystem::copy_file("/bin/sleep", folder.path() / "Tessary" / "Contents" / "Helpers" / "helper");
    }

    ~ApplicationWatcherTest() override
    {
        for (const pid_t pid : children) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    void install(const std::string& name) { std::filesystem::copy_file("/bin/sleep", bin / name); }
    void script(const std::string& name, const std::string& content)
    {
        TemporaryFolder::writeFile(bin / name, content);
        ::chmod((bin / name).c_str(), 0755);
    }
    void entry(const std::string& id, const std::string& keys)
    {
        TemporaryFolder::writeFile(folder.path() / "share" / "applications" / (id + ".desktop"),
                                   "[Desktop Entry]\nType=Application\n" + keys);
    }

    std::unique_ptr<ApplicationWatcher> startWatcher()
    {
        auto settings = ApplicationWatcher::sessionSettings(folder.path() / "Tessary", "app.brenmoor.tessary",
                                                            "/usr/bin:/bin", log);
        settings.searchPath = bin.string() + ":/usr/bin:/bin";
        settings.eventTriggers = GetParam();
        auto watcher = std::make_unique<ApplicationWatcher>(queue, EnvironmentPaths::current(), settings);
        watcher->addObserver(recorder);
        return watcher;
    }

    pid_t spawn(const std::filesystem::path& program, std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), program.filename().string());
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        // Each child leads its own process group, so clean-up also reaches what it started.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        pid_t pid = 0;
        EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ), 0);
        posix_spawnattr_destroy(&attributes);
        children.push_back(pid);
        return pid;
    }

    // Waits for the child and says how it ended: the signal that killed it, or 0.
    int reap(pid_t pid)
    {
        int status = 0;
        ::waitpid(pid, &status, 0);
        std::erase(children, pid);
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s)
    {
        return queue->runUntil(done, limit);
    }

    static std::filesystem::path executableOf(pid_t pid)
    {
        std::error_code error;
        return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    }

    // The agent's monitor and blocker over this watcher, reporting into a recording channel.
    std::shared_ptr<AppMonitor> blockingMonitor(const std::unique_ptr<ApplicationWatcher>& watcher,
                                                const std::vector<std::string>& blocked)
    {
        auto monitor = std::make_shared<AppMonitor>(std::shared_ptr<Workspace>(watcher.get(), [](Workspace*) {}),
                                                    std::make_shared<testing::ManualClock>(), log);
        monitor->webSocketClient = channel;
        monitor->start();
        monitor->appBlocker = std::make_shared<AppBlocker>(log, [](const std::string&) {});
        monitor->appBlocker->webSocketClient = channel;
        monitor->appBlocker->updateBlockedApps(blocked);
        return monitor;
    }

    bool launched(const std::string& id)
    {
        return waitUntil([&] {
            for (const auto& event : recorder->launches())
                if (event.application->bundleIdentifier() == id)
                    return true;
            return false;
        });
    }

    std::shared_ptr<RunningApplication> launchOf(const std::string& id)
    {
        for (const auto& event : recorder->launches())
            if (event.application->bundleIdentifier() == id)
                return event.application;
        return nullptr;
    }

    // Starts the program again and again until a launch of it is identified as the application.
    bool eventuallyIdentified(const std::filesystem::path& program, const std::string& id)
    {
        return waitUntil([&] {
            const pid_t started = spawn(program, {"30"});
            const bool seen = waitUntil([&] { return launchOf(id) != nullptr; }, 200ms);
            ::kill(started, SIGKILL);
            reap(started);
            return seen;
        });
    }

    bool terminated(const std::shared_ptr<RunningApplication>& application)
    {
        return waitUntil([&] {
            for (const auto& event : recorder->events)
                if (!event.launched && event.application == application)
                    return true;
            return false;
        });
    }

    TemporaryFolder folder;
    testing::EnvironmentOverride home;
    testing::EnvironmentOverride dataHome;
    testing::EnvironmentOverride dataDirs;
    std::filesystem::path bin;
    std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<testing::RecordingEventChannel> channel = std::make_shared<testing::RecordingEventChannel>();
    std::vector<pid_t> children;
};

TEST_P(ApplicationWatcherTest, LaunchAndTerminationCarryTheEntrysIdentifierAndName)
{
    const auto watcher = startWatcher();
    const pid_t editor = spawn(bin / "test-editor", {"30"});
    ASSERT_TRUE(launched("org.example.Editor"));
    const auto application = launchOf("org.example.Editor");
    EXPECT_EQ(application->localizedName(), "Example Editor");

    ::kill(editor, SIGTERM);
    reap(editor);
    ASSERT_TRUE(terminated(application));
    EXPECT_EQ(recorder->events.size(), 2U);
}

TEST_P(ApplicationWatcherTest, WrapperThatExecsTheProgramIsIdentifiedAsTheFinalProgram)
{
    const auto watcher = startWatcher();
    const pid_t wrapper = spawn(bin / "launch-editor", {"30"});
    ASSERT_TRUE(launched("org.example.Editor"));
    // The shell that ran the wrapper, and its sleep, were never reported.
    EXPECT_EQ(recorder->launches().size(), 1U);
    ::kill(wrapper, SIGKILL);
    reap(wrapper);
    EXPECT_TRUE(terminated(launchOf("org.example.Editor")));
}

TEST_P(ApplicationWatcherTest, ScriptEntryIsOneInstanceAcrossItsExec)
{
    const auto watcher = startWatcher();
    const pid_t viewer = spawn(bin / "wrapped-viewer", {"30"});
    ASSERT_TRUE(launched("org.example.Viewer"));
    EXPECT_EQ(launchOf("org.example.Viewer")->localizedName(), "Wrapped Viewer");
    // Once the script has exec'd its program, a later launch proves the watcher looked again:
    // the viewer is still the same single instance.
    ASSERT_TRUE(waitUntil([&] { return executableOf(viewer) == bin / "test-worker"; }));
    spawn(bin / "test-editor", {"30"});
    ASSERT_TRUE(launched("org.example.Editor"));
    EXPECT_EQ(recorder->events.size(), 2U) << recorder->describe();
}

TEST_P(ApplicationWatcherTest, ForceTerminateKillsEveryProcessOfTheInstanceThroughItsDescriptors)
{
    const auto watcher = startWatcher();
    const pid_t suite = spawn(bin / "suite", {});
    ASSERT_TRUE(launched("org.example.Suite"));
    // The script's workers join the instance rather than launching anew.
    const auto application = launchOf("org.example.Suite");
    const auto suiteApplication = std::dynamic_pointer_cast<ProcessApplication>(application);
    ASSERT_TRUE(waitUntil([&] { return suiteApplication->processes().size() == 3; }));
    ASSERT_EQ(recorder->launches().size(), 1U);

    EXPECT_TRUE(application->forceTerminate());
    EXPECT_EQ(reap(suite), SIGKILL);
    ASSERT_TRUE(terminated(application));
    // The workers, reparented when the script died, were killed as well.
    EXPECT_TRUE(waitUntil([&] {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path() / "exe", error) == bin / "test-worker")
                return false;
        }
        return true;
    }));
}

TEST_P(ApplicationWatcherTest, AnExitedProcessIsNeverSignalled)
{
    const auto watcher = startWatcher();
    const pid_t game = spawn(bin / "test-game", {"0.3"});
    ASSERT_TRUE(launched("org.example.Game"));
    const auto application = launchOf("org.example.Game");
    EXPECT_EQ(reap(game), 0);

    // Hand the PID to a new process where the kernel lets us choose it (root in a PID namespace
    // we own); the old application's descriptor must not reach it.
    if (!std::ofstream("/proc/sys/kernel/ns_last_pid"))
        TESSARY_SKIP_WITHOUT("the next PID cannot be chosen here (/proc/sys/kernel/ns_last_pid)");
    pid_t successor = 0;
    for (int attempt = 0; attempt < 20 && successor != game; ++attempt) {
        std::ofstream lastPid("/proc/sys/kernel/ns_last_pid");
        if (!(lastPid << (game - 1)))
            break;
        lastPid.close();
        const pid_t next = spawn("/bin/sleep", {"30"});
        if (next == game)
            successor = next;
        else {
            ::kill(next, SIGKILL);
            reap(next);
        }
    }
    ASSERT_EQ(successor, game) << "the PID was not handed to a new process";
    EXPECT_FALSE(application->forceTerminate());
    // Had a kill been sent, it would be pending before this SIGTERM and would decide the end.
    ::kill(successor, SIGTERM);
    EXPECT_EQ(reap(successor), SIGTERM) << "the process now holding the PID was killed";
}

TEST_P(ApplicationWatcherTest, SessionProcessesAndTheAgentsHelpersAreNeverReported)
{
    const auto watcher = startWatcher();
    spawn("/bin/sleep", {"30"});
    spawn(folder.path() / "Tessary" / "Contents" / "Helpers" / "helper", {"30"});
    spawn("/bin/sh", {"-c", "sleep 30; true"});
    // A launch after them proves the watcher has looked at them.
    spawn(bin / "test-editor", {"30"});
    ASSERT_TRUE(launched("org.example.Editor"));
    EXPECT_EQ(recorder->launches().size(), 1U);
}

TEST_P(ApplicationWatcherTest, ApplicationsRunningBeforeTheWatcherAreNotLaunches)
{
    const pid_t earlier = spawn(bin / "test-game", {"30"});
    ASSERT_TRUE(waitUntil([&] { return executableOf(earlier) == bin / "test-game"; }));
    const auto watcher = startWatcher();
    spawn(bin / "test-editor", {"30"});
    ASSERT_TRUE(launched("org.example.Editor"));
    EXPECT_EQ(recorder->launches().size(), 1U);
    ::kill(earlier, SIGKILL);
    reap(earlier);
    // Its end is still seen, as the workspace reports the end of anything it knew running.
    EXPECT_TRUE(waitUntil([&] { return recorder->events.size() == 2; }));
}

TEST_P(ApplicationWatcherTest, BlockedApplicationStartedFromATerminalIsKilledAndReported)
{
    const auto watcher = startWatcher();
    const auto monitor = blockingMonitor(watcher, {"org.example.Game"});

    const pid_t game = spawn(bin / "test-game", {"30"});
    ASSERT_TRUE(waitUntil([&] { return !channel->blockedLaunches.empty(); }));
    EXPECT_EQ(reap(game), SIGKILL);
    EXPECT_EQ(channel->blockedLaunches[0], std::make_pair(std::string("org.example.Game"), std::string("Fun Game")));
    ASSERT_TRUE(waitUntil([&] { return !channel->activities.empty(); }));
    EXPECT_EQ(channel->activities[0][0]["type"], "app_terminate");
    EXPECT_EQ(channel->activities[0][0]["bundleId"], "org.example.Game");

    watcher->removeObserver(monitor.get());
    spawn(bin / "test-game", {"30"});
    ASSERT_TRUE(waitUntil([&] { return recorder->launches().size() == 2; }));
    EXPECT_EQ(channel->blockedLaunches.size(), 1U) << "a removed monitor hears nothing";
}

TEST_P(ApplicationWatcherTest, ABlockedApplicationThatRanBeforeTheWatcherIsKilledWhenRunningOnesAreJudged)
{
    const pid_t earlier = spawn(bin / "test-game", {"30"});
    const pid_t editor = spawn(bin / "test-editor", {"30"});
    ASSERT_TRUE(waitUntil([&] { return executableOf(earlier) == bin / "test-game"; }));
    ASSERT_TRUE(waitUntil([&] { return executableOf(editor) == bin / "test-editor"; }));
    const auto watcher = startWatcher();
    const auto monitor = blockingMonitor(watcher, {"org.example.Game"});
    ASSERT_EQ(watcher->runningApplications().size(), 2U);

    monitor->judgeRunningApplications();
    EXPECT_EQ(reap(earlier), SIGKILL);
    ASSERT_EQ(channel->blockedLaunches.size(), 1U);
    EXPECT_EQ(channel->blockedLaunches[0].first, "org.example.Game");
    EXPECT_TRUE(waitUntil([&] { return watcher->runningApplications().size() == 1; })) << "its end delivered";
    EXPECT_EQ(::kill(editor, 0), 0) << "the editor runs on";
}

TEST_P(ApplicationWatcherTest, BlockedApplicationExecdByAnOldProcessIsKilledAfterTheExec)
{
    const auto watcher = startWatcher();
    const auto monitor = blockingMonitor(watcher, {"org.example.Game"});
    // Older than any quick second look at new processes by the time it execs.
    const pid_t shell = spawn("/bin/sh", {"-c", "sleep 1.5; exec " + (bin / "test-game").string() + " 30"});
    ASSERT_TRUE(waitUntil([&] { return !channel->blockedLaunches.empty(); }, 10s));
    EXPECT_EQ(reap(shell), SIGKILL);
    EXPECT_EQ(channel->blockedLaunches[0].first, "org.example.Game");
}

TEST_P(ApplicationWatcherTest, BlockedScriptEntryIsKilledWhileTheSameInterpreterRunsOn)
{
    TemporaryFolder::writeFile(folder.path() / "games" / "snake.py", "import time\ntime.sleep(30)\n");
    entry("org.example.Snake", "Name=Snake\nExec=python3 " + (folder.path() / "games" / "snake.py").string() + "\n");
    const auto watcher = startWatcher();
    const auto monitor = blockingMonitor(watcher, {"org.example.Snake"});

    const pid_t plain = spawn("/usr/bin/python3", {"-c", "import time; time.sleep(30)"});
    const pid_t snake = spawn("/usr/bin/python3", {(folder.path() / "games" / "snake.py").string()});
    ASSERT_TRUE(waitUntil([&] { return !channel->blockedLaunches.empty(); }));
    EXPECT_EQ(reap(snake), SIGKILL);
    EXPECT_EQ(channel->blockedLaunches.size(), 1U);
    // The other python3 is no application: a later launch proves the watcher has looked at it.
    spawn(bin / "test-editor", {"30"});
    ASSERT_TRUE(launched("org.example.Editor"));
    EXPECT_EQ(::waitpid(plain, nullptr, WNOHANG), 0) << "an unrelated python3 was killed";
    EXPECT_EQ(recorder->launches().size(), 2U) << recorder->describe();
}

// Without inotify, new entries are read with the next listing: this one is the event-driven watcher's.
class EventDrivenApplicationWatcherTest : public ApplicationWatcherTest {};

TEST_P(EventDrivenApplicationWatcherTest, EntriesInAFolderCreatedOrRecreatedAfterTheStartAreFound)
{
    const auto watcher = startWatcher();
    install("test-late");
    install("test-later");
    const auto applications = folder.path() / "home" / ".local" / "share" / "applications";
    ASSERT_FALSE(std::filesystem::exists(folder.path() / "home"));
    const auto broken = [&] { TemporaryFolder::writeFile(applications / "broken.desktop", "[Desktop Entry]\nno key\n"); };
    broken();
    TemporaryFolder::writeFile(applications / "org.example.Late.desktop",
                               "[Desktop Entry]\nType=Application\nName=Late\nExec=test-late\n");
    // Entries are read again once the folder appears.
    ASSERT_TRUE(eventuallyIdentified(bin / "test-late", "org.example.Late"));

    // The folder is removed and made again: its old watch is gone, a new one takes its place.
    std::filesystem::remove_all(applications);
    broken();
    TemporaryFolder::writeFile(applications / "org.example.Later.desktop",
                               "[Desktop Entry]\nType=Application\nName=Later\nExec=test-later\n");
    ASSERT_TRUE(eventuallyIdentified(bin / "test-later", "org.example.Later"));
    // Read three times or more, the same malformed entry is told of once.
    EXPECT_EQ(log->count("Skipped in a desktop entry: " + (applications / "broken.desktop").string() +
                         ": 1 malformed line(s) skipped, the first line 2"),
              1U);
}

INSTANTIATE_TEST_SUITE_P(Triggers, ApplicationWatcherTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& row) {
                             return row.param ? std::string("EventDriven") : std::string("ScanOnly");
                         });
INSTANTIATE_TEST_SUITE_P(Triggers, EventDrivenApplicationWatcherTest, ::testing::Values(true),
                         [](const ::testing::TestParamInfo<bool>&) { return std::string("EventDriven"); });

}  // namespace
}  // namespace tessary
