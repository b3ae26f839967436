#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/LogSink.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/Workspace.h"
#include "platform/linux/ApplicationClassifier.h"
#include "platform/linux/ApplicationTracker.h"
#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/ProcFileSystem.h"
#include "platform/linux/ProcessHandles.h"
#include "platform/linux/ScopedFd.h"
#include "platform/linux/WatcherSchedule.h"

namespace tessary {

// The workspace of a Linux login session: application launches and terminations found in
// /proc, posted to the main queue. Executions are seen as the opens of their programs (inotify on
// every folder holding an application's program or an interpreter), so the watcher sleeps until
// one happens or a new application unit appears (inotify on the user's app.slice), with a slow
// safety scan; where those folders cannot be watched, it looks for new processes every scan
// interval. An exec of a program that identifies an application, in a process of any age,
// has the session's processes read again. Ends are seen through one process descriptor per
// running instance. Its own thread only reads and posts.
class ApplicationWatcher final : public Workspace {
public:
    struct Settings {
        ApplicationClassifier::Exclusions exclusions;
        std::string searchPath;
        // Without exec notifications: how often new processes are looked for (a cheap look at
        // the last PID created), and how often every process is read again for an exec.
        std::chrono::milliseconds scanInterval{60};
        std::chrono::milliseconds sweepInterval{2000};
        // How long a new process is looked at on every look, for a wrapper's exec.
        std::chrono::milliseconds recentPeriod{1000};
        // inotify wake-ups; without them the scan alone finds launches.
        bool eventTriggers = true;
        std::shared_ptr<LogSink> logSink;
        // Opens process descriptors (a seam for tests that run out of them).
        ProcessHandles::Opener opener = ProcessHandles::systemOpener();
    };

    // For the running agent: this user, this process, this bundle, and where programs are searched.
    static Settings sessionSettings(const std::filesystem::path& agentBundle, const std::string& agentId,
                                    std::string searchPath, std::shared_ptr<LogSink> logSink);

    // Learns what already runs (never reported as launched) before it returns.
    ApplicationWatcher(std::shared_ptr<MainQueue> mainQueue, const Paths& paths, Settings settings);
    ~ApplicationWatcher() override;
    ApplicationWatcher(const ApplicationWatcher&) = delete;
    ApplicationWatcher& operator=(const ApplicationWatcher&) = delete;

    void addObserver(std::weak_ptr<WorkspaceObserver> observer) override;
    void removeObserver(const WorkspaceObserver* observer) override;
    std::vector<std::shared_ptr<RunningApplication>> runningApplications() const override;

    // Whether executions wake the watcher: every program folder carries an exec mark.
    bool watchesExecutions() const { return execWakes_; }

private:
    using ObserverList = std::vector<std::weak_ptr<WorkspaceObserver>>;
    using ApplicationList = std::vector<std::shared_ptr<RunningApplication>>;
    using Wake = WatcherSchedule::Wake;
    enum class WatchKind { units, entries, ancestor };

    void loadIndex();
    void setUpTriggers();
    void watchFolders();
    void watchTree(const std::filesystem::path& folder, WatchKind kind);
    void watchProgramFolders();
    void run();
    void readInotify(Wake& wake);
    void readExecutions(Wake& wake);
    void findNewProcesses(bool list, std::vector<ApplicationTracker::Change>& changes);
    void deliver(std::vector<ApplicationTracker::Change> changes);

    std::shared_ptr<MainQueue> mainQueue_;
    Settings settings_;
    DesktopEntryIndex::Roots roots_;
    std::filesystem::path unitsRoot_;
    std::set<std::string> reportedMalformed_;
    std::shared_ptr<ProcFileSystem> proc_;
    ApplicationClassifier classifier_;
    ApplicationTracker tracker_;
    std::shared_ptr<ObserverList> observers_;
    // Main thread: what runs as far as launches and ends have been delivered.
    std::shared_ptr<ApplicationList> running_;

    ScopedFd wake_;
    ScopedFd inotify_;
    ScopedFd execInotify_;
    struct Watch {
        WatchKind kind;
        std::filesystem::path folder;
    };
    std::map<int, Watch> watches_;
    std::map<int, std::filesystem::path> programFolders_;
    // The programs whose exec calls for every process to be read again.
    std::set<std::filesystem::path> identifyingPrograms_;
    std::atomic<bool> execWakes_{false};
    std::optional<pid_t> lastPid_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tessary
