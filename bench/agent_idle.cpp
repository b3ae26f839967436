// A paired, monitoring agent left alone while 300 extra processes idle beside it, its watchdog
// enabled as the keep-alive unit enables it, in three modes: as on a desktop (the system's desktop
// entries and a few more, so their program folders are watched for executions) without a display;
// the same on an X11 display (Xvfb) of a desktop named GNOME whose tray shows StatusNotifierItems;
// and scan-only (no desktop entry, so no program folder to watch and the watcher looks for
// launches on a timer).
// For each: CPU time (utime + stime) over a wall-clock window; resident, anonymous and
// proportional memory at the end; run time and wake-ups per second of each thread; watchdog
// feeds. Then what the 2 s integrity check of the shared store costs. Asserts nothing.
//   agent_idle [seconds per mode] [path to PellixApp]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "agent/core/DeviceConfig.h"
#include "tests/support/MemoryLogSink.h"
#include "shared/SharedDefaults.h"
#include "platform/linux/FileSecureStore.h"
#include "platform/linux/SecureStoreFactory.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PairedAgentHarness.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VirtualDisplay.h"
#include "tests/support/WaitUntil.h"

extern char** environ;

using namespace tessary;
using namespace tessary::testing;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kIdleProcesses = 300;
constexpr double kTargetCpuPercent = 0.1;
constexpr double kTargetResidentMB = 30.0;
constexpr double kStretchResidentMB = 25.0;
// Wake-ups per second a thread other than the watcher may average at rest.
constexpr double kTargetWakeUpsPerSecond = 1.0;
constexpr auto kAgentReadyLimit = std::chrono::seconds(30);
// How long an agent whose output has ended may take to become a zombie.
constexpr auto kExitLimit = std::chrono::seconds(2);

// Children that only sleep; killed and reaped when this goes.
class IdleProcesses {
public:
    explicit IdleProcesses(int count)
    {
        std::string program = "sleep";
        std::string seconds = "1000";
        char* argv[] = {program.data(), seconds.data(), nullptr};
        for (int i = 0; i < count; ++i) {
            pid_t pid = -1;
            if (::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0)
                pids_.push_back(pid);
        }
    }
    ~IdleProcesses()
    {
        for (const pid_t pid : pids_)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_)
            ::waitpid(pid, nullptr, 0);
    }
    IdleProcesses(const IdleProcesses&) = delete;
    IdleProcesses& operator=(const IdleProcesses&) = delete;

    std::size_t count() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

std::string firstLine(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// utime + stime of the whole process, in clock ticks.
std::optional<long long> cpuTicks(pid_t pid)
{
    const auto stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces and parentheses; the fields follow its last ')'.
    const auto nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14)
            utime = std::stoll(field);
        if (number == 15)
            stime = std::stoll(field);
    }
    if (!fields)
        return std::nullopt;
    return utime + stime;
}

// The number after "key:" in a /proc status file.
std::optional<long> statusNumber(const std::filesystem::path& status, const std::string& key)
{
    std::ifstream in(status);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    return std::nullopt;
}

struct ThreadSample {
    std::string name;
    long long runNanoseconds = 0;
    long wakeUps = 0;  // voluntary context switches: each is a sleep the thread woke from
};

std::map<pid_t, ThreadSample> threadSamples(pid_t pid)
{
    std::map<pid_t, ThreadSample> samples;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end; it.increment(error)) {
        ThreadSample sample;
        sample.name = firstLine(it->path() / "comm");
        std::istringstream(firstLine(it->path() / "schedstat")) >> sample.runNanoseconds;
        sample.wakeUps = statusNumber(it->path() / "status", "voluntary_ctxt_switches").value_or(0);
        samples[static_cast<pid_t>(std::stol(it->path().filename().string()))] = sample;
    }
    return samples;
}

// The service manager's end of the watchdog: a datagram socket that counts "WATCHDOG=1".
class NotifySocket {
public:
    explicit NotifySocket(const std::filesystem::path& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            std::fprintf(stderr, "the notification socket %s could not be bound\n", path.c_str());
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The feeds received since the last call.
    int feeds()
    {
        int count = 0;
        char buffer[256];
        for (ssize_t size; (size = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            count += std::string(buffer, static_cast<std::size_t>(size)) == "WATCHDOG=1" ? 1 : 0;
        return count;
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

// The agent's 2 s check of the shared store, measured in this process on a store holding rules of
// the given size: a poll when no other process wrote, and one after a browser's append (the check
// then reads the schema and compares the rules).
void measureIntegrityCheck(const std::filesystem::path& folder, std::size_t rulesBytes)
{
    const auto file = folder / "integrity" / "store.sqlite3";
    auto log = std::make_shared<MemoryLogSink>();
    SharedDefaults agent(file, std::make_shared<SystemClock>(), Logger(log, "app.brenmoor.tessary", "app"),
                         [](const std::string&) {});
    static_cast<void>(agent.setRules(std::string(rulesBytes, 'r')));
    auto browser = SharedStore::open(file, SharedStore::Access::writeExisting, std::chrono::milliseconds(1000));
    if (!browser)
        return;
    constexpr int kPolls = 2000;
    const auto timePolls = [&](bool withAppend) {
        std::chrono::nanoseconds spent{0};
        for (int i = 0; i < kPolls; ++i) {
            if (withAppend)
                static_cast<void>(browser.value()->appendEvent(R"({"type":"url_visit","url":"https://a.example/"})"));
            const auto start = SteadyClock::now();
            static_cast<void>(agent.drainEventQueue());
            spent += SteadyClock::now() - start;
        }
        return std::chrono::duration<double, std::micro>(spent).count() / kPolls;
    };
    const double quiet = timePolls(false);
    const double afterAppend = timePolls(true);
    std::printf("  integrity check with %zu KB of rules: %.1f us per quiet poll, %.1f us per poll after an append "
                "(drain included); at one poll per 2 s: %.4f %% of a core at most\n",
                rulesBytes / 1024, quiet, afterAppend, afterAppend / 2e6 * 100.0);
}

// Credentials where the file backend keeps them, for machines where no private keyring starts.
void storeInCredentialsFile(const Paths& paths, const StandInServiceProcess::PairedDevice& device)
{
    FileSecureStore credentials(SecureStoreFactory::credentialsFile(paths));
    static_cast<void>(credentials.write(DeviceConfig::kServiceName, "deviceId", device.deviceId));
    static_cast<void>(credentials.write(DeviceConfig::kServiceName, "token", device.token));
    static_cast<void>(credentials.write(DeviceConfig::kServiceName, "familyId", device.familyId));
}

// The system's desktop entries and three more whose programs live in /usr/bin, as a desktop has them.
void installDesktopEntries(const std::filesystem::path& applications)
{
    std::filesystem::create_directories(applications);
    std::error_code error;
    for (std::filesystem::directory_iterator it("/usr/share/applications", error), end; !error && it != end;
         it.increment(error))
        if (it->path().extension() == ".desktop")
            std::filesystem::copy_file(it->path(), applications / it->path().filename(),
                                       std::filesystem::copy_options::skip_existing, error);
    for (const std::string program : {"cat", "tail", "head"}) {
        std::ofstream entry(applications / ("bench." + program + ".desktop"));
        entry << "[Desktop Entry]\nType=Application\nName=" << program << "\nExec=/usr/bin/" << program << " %f\n";
    }
}

enum class Mode { desktop, desktopWithTray, scanOnly };

const char* describe(Mode mode)
{
    switch (mode) {
    case Mode::desktop:
        return "desktop (program folders watched for executions), no display";
    case Mode::desktopWithTray:
        return "desktop on X11 (Xvfb, GNOME's name) with a StatusNotifierItem tray";
    case Mode::scanOnly:
        break;
    }
    return "scan-only (no program folder to watch), no display";
}

// One agent of this mode, paired with its own service, measured over the window.
bool measureIdleAgent(const PairedAgentHarness::Programs& programs, Mode mode, double windowSeconds)
{
    PairedAgentHarness harness(programs);
    std::string backend = "the Secret Service";
    if (harness.available()) {
        harness.pairDevice();
    } else {
        storeInCredentialsFile(harness.paths(), harness.service().pairDevice());
        harness.setEnvironment("TESSARY_SECRET_BACKEND", "file");
        backend = "the credentials file (no keyring here: " + harness.whyUnavailable() + ")";
    }
    if (mode != Mode::scanOnly)
        installDesktopEntries(harness.dataDir() / "applications");
    std::optional<VirtualDisplay> display;
    std::optional<ChildProcess> tray;
    if (mode == Mode::desktopWithTray) {
        const auto xvfb = findProgram("Xvfb");
        if (!xvfb || !harness.available()) {
            std::printf("agent_idle, %s: not measured (%s)\n", describe(mode),
                        xvfb ? "no session bus for the tray" : "Xvfb is not installed");
            return true;
        }
        display.emplace(*xvfb);
        if (!display->ready()) {
            std::fprintf(stderr, "Xvfb did not come up\n");
            return false;
        }
        harness.setEnvironment("DISPLAY", display->name());
        harness.setEnvironment("QT_QPA_PLATFORM", "xcb");
        harness.setEnvironment("XDG_CURRENT_DESKTOP", "GNOME");
        tray.emplace(std::vector<std::string>{TESSARY_STATUS_NOTIFIER_WATCHER_PATH}, harness.agentEnvironment());
        if (tray->readLine() != "watching") {
            std::fprintf(stderr, "the stand-in tray did not start\n");
            return false;
        }
    }
    std::filesystem::create_directories(harness.filesFolder());
    NotifySocket watchdog(harness.filesFolder() / "notify");
    // As the keep-alive unit runs it (WatchdogSec=30).
    harness.setEnvironment("NOTIFY_SOCKET", (harness.filesFolder() / "notify").string());
    harness.setEnvironment("WATCHDOG_USEC", "30000000");
    // A desktop session names no certificate bundle; one named here would be read whole.
    harness.setEnvironment("SSL_CERT_FILE", "");
    auto& agent = harness.startAgent();
    const IdleProcesses idle(kIdleProcesses);
    std::vector<const char*> readyLines = {"Monitoring started", "Rules fetched via HTTP", "WebSocket connected"};
    if (tray)
        readyLines.push_back("Tray icon registered with the desktop");
    for (const auto* line : readyLines) {
        if (!agent.waitForLine(line, kAgentReadyLimit)) {
            std::fprintf(stderr, "the agent %s before logging \"%s\":\n%s",
                         waitForExit(agent.pid(), kExitLimit) ? "exited" : "timed out", line, agent.output().c_str());
            return false;
        }
    }
    // How the watcher sees launches, as the agent says it (an older agent does not).
    const auto watcherLine = agent.waitForLine("launches", std::chrono::seconds(1));

    const auto pid = agent.pid();
    watchdog.feeds();
    const auto ticksBefore = cpuTicks(pid);
    const auto threadsBefore = threadSamples(pid);
    const auto windowStart = SteadyClock::now();
    const auto window = std::chrono::milliseconds(static_cast<long long>(windowSeconds * 1000.0));
    if (waitForExit(pid, window)) {
        std::fprintf(stderr, "the agent exited during the window:\n%s", agent.output().c_str());
        return false;
    }
    const auto ticksAfter = cpuTicks(pid);
    const auto threadsAfter = threadSamples(pid);
    const int feeds = watchdog.feeds();
    const double elapsedSeconds = std::chrono::duration<double>(SteadyClock::now() - windowStart).count();
    const auto status = "/proc/" + std::to_string(pid) + "/status";
    const auto residentKilobytes = statusNumber(status, "VmRSS");
    // The rest is mapped files, mostly shared libraries that other programs share.
    const auto anonymousKilobytes = statusNumber(status, "RssAnon");
    // Each shared page counted as its share among the processes that map it.
    const auto proportionalKilobytes = statusNumber("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss");
    if (!ticksBefore || !ticksAfter || !residentKilobytes || !anonymousKilobytes || !proportionalKilobytes) {
        std::fprintf(stderr, "could not read the agent's /proc entries\n");
        return false;
    }

    const auto ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const auto ticks = *ticksAfter - *ticksBefore;
    const double cpuPercent = static_cast<double>(ticks) / ticksPerSecond / elapsedSeconds * 100.0;
    const auto megabytes = [](long kilobytes) { return static_cast<double>(kilobytes) * 1024.0 / 1e6; };
    std::printf("agent_idle, %s: paired, monitoring agent (credentials in %s), %zu extra idle processes, %.1f s "
                "window\n",
                describe(mode), backend.c_str(), idle.count(), elapsedSeconds);
    std::printf("  watcher: %s\n", watcherLine ? watcherLine->c_str() : "(the agent did not say)");
    std::printf("  cpu %.3f %% of one core (target <= %.1f %%): %lld ticks at %.0f ticks/s\n", cpuPercent,
                kTargetCpuPercent, ticks, ticksPerSecond);
    std::printf("  rss %.1f MB (target <= %.0f MB, stretch %.0f MB), of which %.1f MB anonymous; pss %.1f MB\n",
                megabytes(*residentKilobytes), kTargetResidentMB, kStretchResidentMB, megabytes(*anonymousKilobytes),
                megabytes(*proportionalKilobytes));

    struct ThreadFigures {
        pid_t tid;
        std::string name;
        double runMilliseconds;
        long wakeUps;
    };
    std::vector<ThreadFigures> threads;
    for (const auto& [tid, after] : threadsAfter) {
        const auto before = threadsBefore.find(tid);
        const auto startRun = before == threadsBefore.end() ? 0 : before->second.runNanoseconds;
        const auto startWakeUps = before == threadsBefore.end() ? 0 : before->second.wakeUps;
        threads.push_back({tid, after.name, static_cast<double>(after.runNanoseconds - startRun) / 1e6,
                           after.wakeUps - startWakeUps});
    }
    std::sort(threads.begin(), threads.end(),
              [](const ThreadFigures& a, const ThreadFigures& b) { return a.runMilliseconds > b.runMilliseconds; });
    std::printf("  by thread: run time in the window (schedstat) and wake-ups (voluntary context switches); "
                "target <= %.0f wake-up/s each but the watcher's\n",
                kTargetWakeUpsPerSecond);
    for (const auto& thread : threads)
        std::printf("    %-7d %-16s %9.3f ms %7ld wake-ups (%.2f/s)\n", thread.tid, thread.name.c_str(),
                    thread.runMilliseconds, thread.wakeUps, static_cast<double>(thread.wakeUps) / elapsedSeconds);
    std::printf("  watchdog (WatchdogSec=30): %d feeds in the window, one per %.1f s\n", feeds,
                feeds > 0 ? elapsedSeconds / feeds : 0.0);
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    const double windowSeconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 60.0;
    auto programs = PairedAgentHarness::Programs::ofThisBuild();
    if (argc > 2)
        programs.agent = argv[2];
    for (const auto mode : {Mode::desktop, Mode::desktopWithTray, Mode::scanOnly})
        if (!measureIdleAgent(programs, mode, windowSeconds))
            return 1;
    const TemporaryFolder folder;
    measureIntegrityCheck(folder.path(), 100 * 1024);
    return 0;
}
