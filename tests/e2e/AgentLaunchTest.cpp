#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/PrivateSecretService.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VirtualDisplay.h"
#include "tests/support/WaitUntil.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TemporaryFolder;

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The real agent, headless, in a temporary HOME with the file credential store. Its systemctl is
// a stand-in, so no test ever reaches the user's real service manager; by default it answers as
// where no user manager runs.
class AgentLaunchTest : public ::testing::Test {
protected:
    AgentLaunchTest()
    {
        const char* build = std::getenv("TESSARY_BUILD_DIR");
        agent = std::filesystem::path(build != nullptr ? build : ".") / "Tessary" / "Contents" / "bin" / "PellixApp";
        const auto paths = folder.paths();
        std::filesystem::permissions(paths.runtimeDir, std::filesystem::perms::owner_all);
        environment = {{"HOME", paths.home.string()},
                       {"XDG_CONFIG_HOME", paths.configHome.string()},
                       {"XDG_DATA_HOME", paths.dataHome.string()},
                       {"XDG_RUNTIME_DIR", paths.runtimeDir.string()},
                       {"QT_QPA_PLATFORM", "offscreen"},
                       {"TESSARY_SECRET_BACKEND", "file"},
                       {"TESSARY_LOG_STDERR", "1"},
                       {"INVOCATION_ID", ""},
                       {"DESKTOP_AUTOSTART_ID", ""},
                       {"TESSARY_LAUNCHED_BY", ""}};
        const char* path = std::getenv("PATH");
        environment["PATH"] = (folder.path() / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
        writeSystemctl("exit 1\n");
    }

    ~AgentLaunchTest() override
    {
        // The stand-in manager's restart loop first, then the agent it ran.
        for (const auto* name : {"loop.pid", "agent.pid"}) {
            const auto file = folder.path() / "manager" / name;
            if (std::filesystem::exists(file))
                ::kill(std::stoi(TemporaryFolder::readFile(file)), SIGKILL);
        }
    }

    void writeSystemctl(const std::string& body)
    {
        const auto program = folder.path() / "bin" / "systemctl";
        TemporaryFolder::writeFile(program, "#!/bin/sh\necho \"$*\" >> '" + (folder.path() / "calls").string() +
                                                "'\n" + body);
        std::filesystem::permissions(program, std::filesystem::perms(0755));
    }

    // A first run installs the keep-alive unit, naming this agent and started with the graphical
    // session (systemd's reading of such a unit is the adapters' test). Then a user manager runs
    // the graphical session that reads the unit there, and runs it as the unit says: restarted a
    // second after any end but status 75. It counts the unit active until its process has ended: a
    // start meanwhile does nothing. Its "show" and "show-environment" answer after showDelay
    // seconds, as at a busy login.
    void runAManagerThatRunsTheUnit(const std::string& showDelay = "0")
    {
        const auto units = folder.paths().configHome / "systemd" / "user";
        const auto unit = units / "app.brenmoor.tessary.keepalive.service";
        {
            auto installer = start();
            ASSERT_FALSE(linesUntil(*installer, "Installed keepalive launch agent").empty());
        }
        EXPECT_NE(TemporaryFolder::readFile(unit).find("\nExecStart=" + agent.string() + "\n"), std::string::npos);
        EXPECT_TRUE(std::filesystem::is_symlink(units / "graphical-session.target.wants" / unit.filename()));
        const auto state = folder.path() / "manager";
        std::filesystem::create_directories(state);
        const auto s = state.string();
        writeSystemctl("case \"$2\" in\n"
                       "show) sleep " + showDelay + "; printf 'Id=graphical-session.target\\nActiveState=active\\n\\n"
                       "Id=app.brenmoor.tessary.keepalive.service\\nFragmentPath=%s\\n' '" + unit.string() + "' ;;\n"
                       "show-environment) sleep " + showDelay + "; echo DISPLAY=:0 ;;\n"
                       "start)\n"
                       "  [ -f '" + s + "/loop.pid' ] && kill -0 \"$(cat '" + s + "/loop.pid')\" 2>/dev/null && exit 0\n"
                       "  ( while :; do\n"
                       "      TESSARY_LAUNCHED_BY=app.brenmoor.tessary.keepalive INVOCATION_ID=stand-in '" +
                       agent.string() + "' >> '" + s + "/unit.log' 2>&1 &\n"
                       "      echo $! > '" + s + "/agent.pid'\n"
                       "      wait $!; status=$?\n"
                       "      echo $status >> '" + s + "/exits'\n"
                       "      [ $status = 75 ] && break\n"
                       "      sleep 1\n"
                       "    done ) </dev/null >/dev/null 2>&1 &\n"
                       "  echo $! > '" + s + "/loop.pid' ;;\n"
                       "esac\n");
    }

    std::string managerFile(const std::string& name) const
    {
        return TemporaryFolder::readFile(folder.path() / "manager" / name);
    }
    std::string unitLog() const { return managerFile("unit.log"); }
    // The stand-in programs built beside the tests.
    std::string standIn(const char* name) const
    {
        return (agent.parent_path().parent_path().parent_path().parent_path() / "tests" / "e2e" / name).string();
    }

    std::unique_ptr<ChildProcess> start()
    {
        return std::make_unique<ChildProcess>(std::vector<std::string>{agent.string()}, environment, std::nullopt,
                                              ChildProcess::Capture::standardOutputAndError);
    }

    // Lines until one contains the marker. When the output ends or a minute passes first, the
    // test fails and the lines are none.
    static std::vector<std::string> linesUntil(ChildProcess& process, const std::string& marker)
    {
        std::vector<std::string> lines;
        while (auto line = process.readLine()) {
            lines.push_back(*line);
            if (line->find(marker) != std::string::npos)
                return lines;
        }
        std::string said;
        for (const auto& line : lines)
            said += line + "\n";
        ADD_FAILURE() << "never said \"" << marker << "\"; said:\n" << said;
        return {};
    }

    TemporaryFolder folder;
    std::filesystem::path agent;
    std::map<std::string, std::string> environment;
};

// The agent holds a process descriptor per running application: it takes the whole descriptor
// allowance the session grants, whatever soft limit it was started with.
TEST_F(AgentLaunchTest, TheDescriptorSoftLimitIsRaisedToTheHardLimit)
{
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    if (original.rlim_max <= 256)
        GTEST_SKIP() << "the hard limit leaves nothing to raise";
    rlimit lowered = original;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    auto agentProcess = start();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_TRUE(agentProcess->started());
    ASSERT_FALSE(linesUntil(*agentProcess, "App launched — version:").empty());

    std::ifstream limits("/proc/" + std::to_string(agentProcess->pid()) + "/limits");
    std::string line;
    std::string soft;
    std::string hard;
    while (std::getline(limits, line))
        if (line.starts_with("Max open files")) {
            std::istringstream fields(line.substr(std::string("Max open files").size()));
            fields >> soft >> hard;
        }
    const auto expected = original.rlim_max == RLIM_INFINITY ? std::string("unlimited") : std::to_string(original.rlim_max);
    EXPECT_EQ(soft, expected);
    EXPECT_EQ(hard, expected);
}

TEST_F(AgentLaunchTest, ASecondStartShowsThePanelUnlessTheSessionStartedIt)
{
    auto first = start();
    ASSERT_TRUE(first->started());
    ASSERT_FALSE(linesUntil(*first, "Device not set up — showing setup wizard").empty());

    // As the session runs its autostart entry: no panel.
    environment["DESKTOP_AUTOSTART_ID"] = "session-42";
    auto bySystemd = start();
    EXPECT_NE(bySystemd->readAll().find("Another instance already running — exiting"), std::string::npos);
    EXPECT_EQ(bySystemd->wait(), 0);

    // As the keep-alive unit starts it: no panel, and the status after which it is not restarted.
    environment["TESSARY_LAUNCHED_BY"] = "app.brenmoor.tessary.keepalive";
    auto byUnit = start();
    const auto unitOutput = byUnit->readAll();
    EXPECT_NE(unitOutput.find("Another instance already running — exiting"), std::string::npos);
    EXPECT_EQ(unitOutput.find("App launched"), std::string::npos);
    EXPECT_EQ(byUnit->wait(), 75);
    environment["TESSARY_LAUNCHED_BY"] = "";

    // As a person starts it from its command or its desktop entry (whatever started this test).
    environment["DESKTOP_AUTOSTART_ID"] = "";
    auto byPerson = start();
    EXPECT_NE(byPerson->readAll().find("Another instance already running — exiting"), std::string::npos);
    EXPECT_EQ(byPerson->wait(), 0);

    ASSERT_FALSE(linesUntil(*first, "Showing the panel for a second start of the agent").empty());
    // It shows the panel and goes on running.
    EXPECT_FALSE(testing::waitForExit(first->pid(), std::chrono::seconds(1)));
    // Everything the first agent said afterwards: no request but the person's reached it.
    first->kill();
    EXPECT_EQ(first->readAll().find("Showing the panel"), std::string::npos);
}

// A child's malformed override must not turn into an agent that exits at every start.
TEST_F(AgentLaunchTest, AnUnusableServiceOverrideIsSaidAndTheAgentRuns)
{
    environment["TESSARY_SERVICE_URL"] = "not a service";
    auto running = start();
    const auto lines = linesUntil(*running, "Device not set up — showing setup wizard");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("Device not set up — showing setup wizard"), std::string::npos);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("The service address not a service is not usable, using the built-in service: ") !=
               std::string::npos;
    }));
}

// The keep-alive unit's watchdog as systemd runs it: datagrams on the socket NOTIFY_SOCKET names,
// fed at half of WATCHDOG_USEC. A stopped agent stops feeding it, so systemd kills and restarts it.
TEST_F(AgentLaunchTest, TheAgentTellsTheWatchdogItRunsAndFeedsItUntilItIsStopped)
{
    const auto socketPath = folder.path() / "notify";
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
    std::copy_n(socketPath.c_str(), socketPath.string().size(), address.sun_path);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // The next datagram within the limit, or nothing.
    const auto receive = [socket](std::chrono::milliseconds limit) -> std::optional<std::string> {
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1)
            return std::nullopt;
        char buffer[256];
        const auto size = ::recv(socket, buffer, sizeof buffer, 0);
        return size < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, static_cast<std::size_t>(size)));
    };
    environment["NOTIFY_SOCKET"] = socketPath.string();
    environment["WATCHDOG_USEC"] = "1000000";
    auto running = start();

    int ready = 0;
    int fed = 0;
    for (auto message = receive(20s); message && (ready == 0 || fed < 3); message = receive(20s)) {
        ready += *message == "READY=1" ? 1 : 0;
        fed += *message == "WATCHDOG=1" ? 1 : 0;
    }
    EXPECT_EQ(ready, 1);
    EXPECT_GE(fed, 3);

    ASSERT_TRUE(testing::stopProcess(running->pid(), 10s));
    while (receive(0ms)) {
    }
    EXPECT_EQ(receive(1500ms), std::nullopt) << "a stopped agent feeds nothing for longer than the interval";
    ASSERT_EQ(::kill(running->pid(), SIGCONT), 0);
    EXPECT_EQ(receive(20s), "WATCHDOG=1");
    ::close(socket);
}

// Started by a person while the keep-alive unit can run the agent: the copy hands over and leaves;
// the manager's copy runs, and comes back after SIGKILL and SIGTERM.
TEST_F(AgentLaunchTest, AFirstCopyHandsOverToTheKeepAliveUnitWhichBringsAKilledAgentBack)
{
    ASSERT_NO_FATAL_FAILURE(runAManagerThatRunsTheUnit());

    auto byPerson = start();
    const auto personOutput = byPerson->readAll();
    EXPECT_EQ(byPerson->wait(), 0);
    EXPECT_NE(personOutput.find("Started the keepalive launch agent — exiting"), std::string::npos) << personOutput;
    EXPECT_EQ(personOutput.find("App launched"), std::string::npos) << personOutput;
    EXPECT_NE(TemporaryFolder::readFile(folder.path() / "calls")
                  .find("--user start --no-block app.brenmoor.tessary.keepalive.service\n"),
              std::string::npos);

    ASSERT_TRUE(testing::waitUntil([&] { return occurrences(unitLog(), "App launched — version:") == 1; }, 20s))
        << unitLog();
    for (const int signal : {SIGKILL, SIGTERM}) {
        const auto launches = occurrences(unitLog(), "App launched — deviceId:");
        ASSERT_EQ(::kill(std::stoi(managerFile("agent.pid")), signal), 0);
        ASSERT_TRUE(testing::waitUntil(
            [&] { return occurrences(unitLog(), "App launched — deviceId:") == launches + 1; }, 20s))
            << "signal " << signal << "\n" << unitLog();
    }
    EXPECT_EQ(occurrences(unitLog(), "Another instance already running"), 0U) << unitLog();
}

// At login the session's copy holds the lock through its slow questions to the manager while the
// unit's copy starts and tries it: the unit's copy waits, takes the lock the moment it is handed
// over, and the session's copy leaves once it sees that.
TEST_F(AgentLaunchTest, AtLoginTheUnitsCopyTakesTheLockTheSessionsCopyHandsOver)
{
    ASSERT_NO_FATAL_FAILURE(runAManagerThatRunsTheUnit("0.9"));

    environment["DESKTOP_AUTOSTART_ID"] = "login";
    auto bySession = start();
    ASSERT_TRUE(testing::waitUntil(
        [&] { return TemporaryFolder::readFile(folder.path() / "calls").find("--user show") != std::string::npos; },
        20s));
    // graphical-session.target reached: the manager starts the unit while the session's copy waits
    // for its answer.
    ChildProcess manager({(folder.path() / "bin" / "systemctl").string(), "--user", "start",
                          "app.brenmoor.tessary.keepalive.service"},
                         environment);
    ASSERT_EQ(manager.wait(), 0);

    const auto sessionOutput = bySession->readAll();
    EXPECT_EQ(bySession->wait(), 0);
    EXPECT_NE(sessionOutput.find("Started the keepalive launch agent — exiting"), std::string::npos) << sessionOutput;
    ASSERT_TRUE(testing::waitUntil([&] { return occurrences(unitLog(), "App launched — version:") == 1; }, 20s))
        << unitLog();
    EXPECT_EQ(managerFile("exits"), "") << "the unit's copy never left";
    EXPECT_EQ(::kill(std::stoi(managerFile("agent.pid")), 0), 0) << unitLog();
    EXPECT_EQ(occurrences(unitLog(), "Another instance already running"), 0U) << unitLog();
}

// The keep-alive unit starts the agent before the desktop's tray is up: the item registers with the
// desktop's watcher once it appears, with its identifier and icon.
TEST_F(AgentLaunchTest, ATrayThatAppearsAfterTheAgentStillGetsItsIcon)
{
    testing::PrivateSecretService bus(testing::PrivateSecretService::Keyring::notStarted);
    if (!bus.available())
        TESSARY_SKIP_WITHOUT(bus.whyUnavailable());
    for (const auto& [name, value] : bus.environment())
        environment[name] = value;
    auto agentProcess = start();
    // Unpaired and with no tray at all, it shows the wizard as a window, drawn by the panel's process.
    ASSERT_FALSE(linesUntil(*agentProcess, "Device not set up — showing setup wizard").empty());
    EXPECT_TRUE(
        testing::waitUntil([&] { return testing::childRunning(agentProcess->pid(), "tessary-panel") != 0; }, 10s));
    EXPECT_FALSE(testing::processMaps(agentProcess->pid(), "/libQt6Gui.so"));

    ChildProcess watcher({standIn("status_notifier_watcher")}, environment);
    EXPECT_EQ(watcher.readLine(), "watching");
    EXPECT_EQ(watcher.readLine(), "registered org.kde.StatusNotifierItem-" + std::to_string(agentProcess->pid()) + "-1");
    EXPECT_EQ(watcher.readLine(), "id app.brenmoor.tessary");
    EXPECT_EQ(watcher.readLine(), "icon 22x22 1936 bytes");
    EXPECT_FALSE(linesUntil(*agentProcess, "Tray icon registered with the desktop").empty());
    watcher.kill();
    agentProcess->kill();
}

// On X11 the widgets that an XEmbed icon needs are loaded only where the desktop has no
// StatusNotifierWatcher: with one the agent maps none of them, without one Qt's icon docks. On a
// GTK desktop Qt's GTK theme (installed with Qt's GUI library by default) is never loaded: it
// brought GTK, its accessibility bridge and a GL driver, 97 MB in all instead of 30.
TEST_F(AgentLaunchTest, QtsWidgetsAreLoadedOnlyForATrayThatSpeaksOnlyXEmbedAndGtkNever)
{
    const auto xvfb = testing::findProgram("Xvfb");
    if (!xvfb)
        TESSARY_SKIP_WITHOUT("Xvfb is not installed");
    for (const bool watcherAtStart : {false, true}) {
        SCOPED_TRACE(watcherAtStart ? "a StatusNotifierWatcher and an XEmbed tray" : "an XEmbed tray only");
        testing::VirtualDisplay display(*xvfb);
        ASSERT_TRUE(display.ready()) << "Xvfb did not come up";
        testing::PrivateSecretService bus(testing::PrivateSecretService::Keyring::notStarted);
        if (!bus.available())
            TESSARY_SKIP_WITHOUT(bus.whyUnavailable());
        for (const auto& [name, value] : bus.environment())
            environment[name] = value;
        environment["DISPLAY"] = display.name();
        environment["QT_QPA_PLATFORM"] = "xcb";
        environment["XDG_CURRENT_DESKTOP"] = "GNOME";
        ChildProcess tray({standIn("xembed_tray")}, environment);
        ASSERT_EQ(tray.readLine(), "tray");
        std::optional<ChildProcess> watcher;
        if (watcherAtStart) {
            watcher.emplace(std::vector<std::string>{standIn("status_notifier_watcher")}, environment);
            ASSERT_EQ(watcher->readLine(), "watching");
        }

        auto agentProcess = start();
        if (watcherAtStart) {
            EXPECT_EQ(watcher->readLine(),
                      "registered org.kde.StatusNotifierItem-" + std::to_string(agentProcess->pid()) + "-1");
            EXPECT_FALSE(testing::processMaps(agentProcess->pid(), "libQt6Widgets.so"));
            EXPECT_FALSE(testing::processMaps(agentProcess->pid(), "/Tessary_XEmbedTray.so"));
            EXPECT_FALSE(testing::processMaps(agentProcess->pid(), "/libQt6Gui.so"));
            watcher->kill();
        } else {
            EXPECT_EQ(tray.readLine(), "docked");
            EXPECT_TRUE(testing::processMaps(agentProcess->pid(), "/Tessary_XEmbedTray.so"));
        }
        // With a tray either way, the wizard waits for a click instead of opening as a window.
        EXPECT_EQ(testing::childRunning(agentProcess->pid(), "tessary-panel"), 0);
        EXPECT_FALSE(testing::processMaps(agentProcess->pid(), "/libgtk-3.so"));
        agentProcess->kill();
        tray.kill();
    }
}

// An update installed over the agent the keep-alive unit runs: the agent ends and the unit starts
// the new program.
TEST_F(AgentLaunchTest, AnUpdateInstalledOverTheAgentIsStartedByTheUnit)
{
    // An installed copy of its own, so its program can be replaced as an installer replaces it.
    const auto contents = folder.path() / "opt" / "tessary" / "Contents";
    std::filesystem::create_directories(contents / "bin");
    std::filesystem::copy_file(agent.parent_path().parent_path() / "Info.json", contents / "Info.json");
    std::filesystem::copy_file(agent, contents / "bin" / "PellixApp");
    agent = contents / "bin" / "PellixApp";
    ASSERT_NO_FATAL_FAILURE(runAManagerThatRunsTheUnit());
    auto byPerson = start();
    EXPECT_EQ(byPerson->wait(), 0);
    ASSERT_TRUE(testing::waitUntil([&] { return occurrences(unitLog(), "App launched — version:") == 1; }, 20s))
        << unitLog();

    // As dpkg does: the new program written beside the old one, then renamed over it.
    const auto staged = agent.string() + ".dpkg-new";
    std::filesystem::copy_file(agent, staged);
    std::filesystem::rename(staged, agent);
    ASSERT_TRUE(testing::waitUntil([&] { return occurrences(unitLog(), "App launched — version:") == 2; }, 40s))
        << unitLog();
    EXPECT_EQ(occurrences(unitLog(), "A new version was installed — restarting to run it"), 1U) << unitLog();
    // Ended by itself, once, with a status the unit starts it again after: not the duplicate's. (Under
    // LeakSanitizer a clean exit may carry its status for Qt's scene-graph caches.)
    const auto exits = managerFile("exits");
    EXPECT_EQ(occurrences(exits, "\n"), 1U) << exits;
    EXPECT_NE(exits, "75\n");
}

}  // namespace
}  // namespace tessary
