#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/Workspace.h"
#include "platform/linux/ApplicationClassifier.h"
#include "platform/linux/ApplicationTracker.h"
#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/ProcFileSystem.h"

namespace tessary {

// The workspace of a Linux login session: application launches and terminations found in
// /proc, posted to the main queue. New processes are found by an incremental scan (only PIDs
// handed out since the last look are read), woken early by new application units (inotify on
// the user's app.slice) and by executions from the program folders (fanotify, unprivileged, as
// a trigger only); exits through process descriptors. Its own thread only reads and posts.
class ApplicationWatcher final : public Workspace {
public:
    struct Settings {
        ApplicationClassifier::Exclusions exclusions;
        std::string searchPath;
        // How often the scan looks for new processes (a cheap look at the last PID created).
        std::chrono::milliseconds scanInterval{40};
        // How long a new process that is no application is watched for an exec.
        std::chrono::milliseconds recentPeriod{1000};
        // inotify and fanotify wake-ups; without them the scan alone finds launches.
        bool eventTriggers = true;
    };

    // For the running agent: this user, this process, this bundle, and PATH.
    static Settings sessionSettings(const std::filesystem::path& agentBundle, const std::string& agentId);

    // Learns what already runs (never reported as launched) before it returns.
    ApplicationWatcher(std::shared_ptr<MainQueue> mainQueue, const Paths& paths, Settings settings);
    ~ApplicationWatcher() override;
    ApplicationWatcher(const ApplicationWatcher&) = delete;
    ApplicationWatcher& operator=(const ApplicationWatcher&) = delete;

    void addObserver(std::weak_ptr<WorkspaceObserver> observer) override;
    void removeObserver(const WorkspaceObserver* observer) override;

    // Whether executions wake the scan (fanotify accepted this process's marks).
    bool watchesExecutions() const { return fanotify_ >= 0; }

private:
    using ObserverList = std::vector<std::weak_ptr<WorkspaceObserver>>;
    enum class WatchKind { units, entries };

    void setUpTriggers();
    void watchUnitFolder(const std::filesystem::path& folder);
    void markProgramFolders();
    void run();
    // Returns true when a new unit appeared; sets indexStale when entries changed.
    bool readInotify(bool& indexStale);
    void drainFanotify();
    void findNewProcesses(std::vector<ApplicationTracker::Change>& changes);
    void deliver(std::vector<ApplicationTracker::Change> changes);

    std::shared_ptr<MainQueue> mainQueue_;
    Settings settings_;
    DesktopEntryIndex::Roots roots_;
    std::filesystem::path unitsRoot_;
    ProcFileSystem proc_;
    ApplicationClassifier classifier_;
    ApplicationTracker tracker_;
    std::shared_ptr<ObserverList> observers_;

    int wake_ = -1;
    int inotify_ = -1;
    int fanotify_ = -1;
    struct Watch {
        WatchKind kind;
        std::filesystem::path folder;
    };
    std::map<int, Watch> watches_;
    std::vector<std::filesystem::path> markedFolders_;
    std::optional<pid_t> lastPid_;
    std::chrono::steady_clock::time_point nextListing_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tessary
