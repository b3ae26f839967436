// Time from the start of a blocked application (a new process, or an exec in a process that has
// run for a while) to its death, and the watcher's CPU use while the session is idle, with and
// without exec notifications. Prints its figures; asserts nothing.
//
//   block_latency [--runs=N] [--idle-seconds=S]

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "agent/enforcement/AppBlocker.h"
#include "agent/enforcement/AppMonitor.h"
#include "tests/support/MemoryLogSink.h"
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
        auto settings = tessary::ApplicationWatcher::sessionSettings(
            folder.path() / "Tessary", "app.brenmoor.tessary", game.parent_path().string() + ":/usr/bin:/bin",
            std::make_shared<tessary::MemoryLogSink>());
        settings.eventTriggers = events;
        return std::make_unique<tessary::ApplicationWatcher>(queue, paths, settings);
    }

    // Starts the blocked application `runs` times; milliseconds from its spawn to its death. With
    // `inOldProcess`, shells started well before (so no longer new) exec it when told to; the
    // time runs from telling them.
    std::vector<double> latencies(bool events, int runs, bool inOldProcess)
    {
        auto queue = std::make_shared<ManualMainQueue>();
        auto workspace = std::shared_ptr<tessary::ApplicationWatcher>(watcher(queue, events));
        auto log = std::make_shared<tessary::MemoryLogSink>();
        auto monitor = std::make_shared<tessary::AppMonitor>(workspace, std::make_shared<tessary::SystemClock>(), log);
        monitor->start();
        monitor->appBlocker = std::make_shared<tessary::AppBlocker>(log, [](const std::string&) {});
        monitor->appBlocker->updateBlockedApps({"org.bench.Game"});

        std::vector<double> results;
        std::vector<std::pair<pid_t, int>> shells;
        if (inOldProcess) {
            for (int run = 0; run < runs; ++run)
                shells.push_back(waitingShell());
            std::this_thread::sleep_for(1500ms);
        }
        std::atomic<bool> done{false};
        std::thread starter([&] {
            for (int run = 0; run < runs; ++run) {
                // Vary the phase against the scan interval.
                std::this_thread::sleep_for(std::chrono::milliseconds(5 + (run * 7) % 41));
                const auto start = std::chrono::steady_clock::now();
                pid_t pid = -1;
                if (inOldProcess) {
                    pid = shells[static_cast<std::size_t>(run)].first;
                    const int go = shells[static_cast<std::size_t>(run)].second;
                    // A shell gone already is measured as a launch that never came.
                    if (::write(go, "\n", 1) < 0) {
                    }
                    ::close(go);
                } else {
                    pid = spawn(game.string(), {"30"});
                }
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

    // A shell that execs the blocked application once a line arrives on its standard input.
    std::pair<pid_t, int> waitingShell()
    {
        int pipeEnds[2] = {-1, -1};
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
            return {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], 0);
        std::string script = "read line; exec " + game.string() + " 30";
        std::vector<char*> argv{const_cast<char*>("sh"), const_cast<char*>("-c"), script.data(), nullptr};
        pid_t pid = -1;
        if (::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeEnds[0]);
        return {pid, pipeEnds[1]};
    }

    double idleCpuPercent(bool events, int seconds, int extraProcesses)
    {
        std::vector<pid_t> sleepers;
        for (int i = 0; i < extraProcesses; ++i)
            sleepers.push_back(spawn("/bin/sleep", {"1000"}));
        auto queue = std::make_shared<ManualMainQueue>();
        const auto watching = watcher(queue, events);
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
        std::printf("exec notifications (inotify on the program folders): %s\n",
                    bench.watcher(queue, true)->watchesExecutions() ? "available" : "unavailable");
    }
    for (const bool events : {true, false}) {
        const char* mode = events ? "exec notifications" : "scan only";
        const auto fresh = bench.latencies(events, runs, false);
        std::printf("block_latency p50_ms=%.1f p99_ms=%.1f (%s, new process, %zu of %d killed)\n",
                    percentile(fresh, 0.5), percentile(fresh, 0.99), mode, fresh.size(), runs);
        const auto old = bench.latencies(events, runs, true);
        std::printf("block_latency p50_ms=%.1f p99_ms=%.1f (%s, exec in an old process, %zu of %d killed)\n",
                    percentile(old, 0.5), percentile(old, 0.99), mode, old.size(), runs);
        std::fflush(stdout);
    }
    for (const bool events : {true, false}) {
        std::printf("watcher_idle_cpu_percent=%.3f (%s, %d s idle, 300 extra processes)\n",
                    bench.idleCpuPercent(events, idleSeconds, 300), events ? "exec notifications" : "scan only",
                    idleSeconds);
        std::fflush(stdout);
    }
    return 0;
}
