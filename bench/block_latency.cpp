// Time from the exec of a blocked application to its death, and the watcher's CPU use while
// the session is idle. Prints its figures; asserts nothing.
//
//   block_latency [--runs=N] [--idle-seconds=S]

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "agent/enforcement/AppBlocker.h"
#include "agent/enforcement/AppMonitor.h"
#include "platform/MemoryLogSink.h"
#include "platform/linux/ApplicationWatcher.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TemporaryFolder.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tessary::testing::ManualMainQueue;
using tessary::testing::TemporaryFolder;

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

double processCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

struct Bench {
    TemporaryFolder folder;
    tessary::Paths paths = folder.paths();
    std::filesystem::path game = folder.path() / "bin" / "blocked-game";

    Bench()
    {
        std::filesystem::create_directories(game.parent_path());
        std::filesystem::copy_file("/bin/sleep", game);
        TemporaryFolder::writeFile(paths.dataDirs[0] / "applications" / "org.bench.Game.desktop",
                                   "[Desktop Entry]\nType=Application\nName=Blocked Game\nExec=" + game.string() + "\n");
        paths.procRoot = "/proc";
        paths.cgroupRoot = "/sys/fs/cgroup";
    }

    std::unique_ptr<tessary::ApplicationWatcher> watcher(const std::shared_ptr<ManualMainQueue>& queue, bool events)
    {
        auto settings = tessary::ApplicationWatcher::sessionSettings(folder.path() / "Tessary", "app.brenmoor.tessary");
        settings.searchPath = game.parent_path().string() + ":/usr/bin:/bin";
        settings.eventTriggers = events;
        return std::make_unique<tessary::ApplicationWatcher>(queue, paths, settings);
    }

    // Starts the blocked application `runs` times; milliseconds from its spawn to its death.
    std::vector<double> latencies(bool events, int runs)
    {
        auto queue = std::make_shared<ManualMainQueue>();
        auto workspace = std::shared_ptr<tessary::ApplicationWatcher>(watcher(queue, events));
        auto log = std::make_shared<tessary::MemoryLogSink>();
        auto monitor = std::make_shared<tessary::AppMonitor>(workspace, std::make_shared<tessary::SystemClock>(), log);
        monitor->start();
        monitor->appBlocker = std::make_shared<tessary::AppBlocker>(log);
        monitor->appBlocker->updateBlockedApps({"org.bench.Game"});

        std::vector<double> results;
        std::atomic<bool> done{false};
        std::thread starter([&] {
            for (int run = 0; run < runs; ++run) {
                // Vary the phase against the scan interval.
                std::this_thread::sleep_for(std::chrono::milliseconds(5 + (run * 7) % 41));
                const auto start = std::chrono::steady_clock::now();
                const pid_t pid = spawn(game.string(), {"30"});
                if (pid < 0)
                    break;
                int status = 0;
                ::waitpid(pid, &status, 0);
                const auto end = std::chrono::steady_clock::now();
                if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                    results.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            }
            done = true;
        });
        // The main thread, as in the agent, runs what the watcher posts.
        while (!done) {
            queue->waitForPosted(20ms);
            queue->runUntilIdle();
        }
        starter.join();
        return results;
    }

    double idleCpuPercent(int seconds, int extraProcesses)
    {
        std::vector<pid_t> sleepers;
        for (int i = 0; i < extraProcesses; ++i)
            sleepers.push_back(spawn("/bin/sleep", {"1000"}));
        auto queue = std::make_shared<ManualMainQueue>();
        const auto watching = watcher(queue, true);
        std::this_thread::sleep_for(1s);
        const double before = processCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double used = processCpuSeconds() - before;
        for (const pid_t pid : sleepers) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        return used / seconds * 100.0;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    int runs = 100;
    int idleSeconds = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--runs=", 0) == 0)
            runs = std::max(1, std::atoi(argument.c_str() + 7));
        else if (argument.rfind("--idle-seconds=", 0) == 0)
            idleSeconds = std::max(1, std::atoi(argument.c_str() + 15));
    }
    Bench bench;
    {
        auto queue = std::make_shared<ManualMainQueue>();
        std::printf("exec notifications (unprivileged fanotify): %s\n",
                    bench.watcher(queue, true)->watchesExecutions() ? "available" : "unavailable");
    }
    const auto scan = bench.latencies(false, runs);
    std::printf("block_latency p50_ms=%.1f p99_ms=%.1f (scan only, %zu of %d killed)\n", percentile(scan, 0.5),
                percentile(scan, 0.99), scan.size(), runs);
    const auto events = bench.latencies(true, runs);
    std::printf("block_latency_event_driven p50_ms=%.1f p99_ms=%.1f (%zu of %d killed)\n", percentile(events, 0.5),
                percentile(events, 0.99), events.size(), runs);
    std::fflush(stdout);
    std::printf("watcher_idle_cpu_percent=%.3f (%d s idle, 300 extra processes)\n", bench.idleCpuPercent(idleSeconds, 300),
                idleSeconds);
    return 0;
}
