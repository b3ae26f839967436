#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/ApplicationClassifier.h"
#include "platform/linux/ProcessApplication.h"
#include "platform/linux/ProcessHandles.h"

namespace tessary {

// The watcher's record of the session's processes: which belong to which running application.
// New processes are read once; a process is read again when its image changes (an exec, in a
// process of any age). Each running instance holds one process descriptor, on one of its
// processes, to learn of its end. Used from one thread only.
class ApplicationTracker {
public:
    struct Change {
        bool launched;  // else terminated
        std::shared_ptr<ProcessApplication> application;
    };
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Only the processes of `user` are ever read again; `recentPeriod` is how long a new
    // process is looked at on every look, for a wrapper's exec or a launcher moving it.
    ApplicationTracker(std::shared_ptr<const ProcessHandles> handles, const ApplicationClassifier& classifier,
                       uid_t user, std::chrono::milliseconds recentPeriod, Clock clock);

    // Lists /proc and reads the processes not seen before; forgets those that left. The first
    // scan only learns what already runs.
    void scan(std::vector<Change>& changes);
    // Reads the processes numbered first..last (PIDs handed out since the last look), without
    // listing /proc. Threads are skipped; a PID not yet attached to its process is retried once.
    void probe(pid_t first, pid_t last, std::vector<Change>& changes);
    bool hasUnborn() const { return !unborn_.empty(); }
    // Looks again at recently started processes: a wrapper may have exec'd the real program
    // since, or (when checkUnits) the launcher moved it into its unit.
    void recheckRecent(bool checkUnits, std::vector<Change>& changes);
    bool hasRecent() const { return !recent_.empty(); }
    // A recent process was caught in the middle of an exec and must be read again.
    bool hasUnsettled() const;
    // Looks at every process of the user for a changed image, and identifies anew those that
    // exec'd another application's program since they were read.
    void recheckAll(std::vector<Change>& changes);

    // The descriptors that become readable when a watched process exits: one per instance.
    std::vector<int> exitDescriptors() const;
    // Every running instance, once.
    std::vector<std::shared_ptr<ProcessApplication>> applications() const;
    void processExited(int descriptor, std::vector<Change>& changes);

private:
    struct Seen {
        std::uint64_t inode = 0;
        std::uint64_t startTime = 0;
        std::filesystem::path executable;
        std::string command;
        std::string cgroup;
        std::shared_ptr<ProcessApplication> application;
        std::chrono::steady_clock::time_point firstSeen;
        // The user's own process (not a kernel thread): its image can change under us.
        bool mayChange = false;
        // Read in the middle of an exec: to be read again whatever its executable shows.
        bool unsettled = false;
    };
    struct Candidate {
        ProcessFacts facts;
        std::uint64_t inode;
        std::chrono::steady_clock::time_point firstSeen;
    };
    struct Watch {
        std::shared_ptr<ProcessApplication> application;
        ProcessIdentity process;
        Pidfd descriptor;
    };

    std::optional<Candidate> open(pid_t pid, std::uint64_t inode, bool* absent) const;
    bool hasChanged(pid_t pid, const Seen& seen, bool checkUnits) const;
    // Reads a process again when its image (or, with checkUnits, its unit) changed.
    void refresh(pid_t pid, bool checkUnits, std::vector<Change>& changes);
    bool stillBelongs(const ProcessFacts& facts, const Seen& seen) const;
    void admitAll(std::vector<Candidate> candidates, bool report, std::vector<Change>& changes);
    void admit(Candidate candidate, bool report, std::vector<Change>& changes);
    std::shared_ptr<ProcessApplication> unitApplication(const std::string& cgroup) const;
    // Drops the record of a process and takes it out of its instance.
    void forget(pid_t pid, std::vector<Change>& changes);
    // Puts the instance's descriptor on one of its live processes, dropping those that ended;
    // reports the instance's end when none is left.
    void rewatch(const std::shared_ptr<ProcessApplication>& application, std::vector<Change>& changes);
    bool isWatched(const ProcessApplication* application) const;
    void ended(const std::shared_ptr<ProcessApplication>& application, std::vector<Change>& changes);

    std::shared_ptr<const ProcessHandles> handles_;
    const ProcFileSystem& proc_;
    const ApplicationClassifier& classifier_;
    uid_t user_;
    std::chrono::milliseconds recentPeriod_;
    Clock clock_;
    bool initialScanDone_ = false;
    std::unordered_map<pid_t, Seen> seen_;
    std::unordered_set<pid_t> recent_;
    std::vector<pid_t> unborn_;
    // The instance started as each application unit's cgroup, for the unit's later processes.
    std::map<std::string, std::weak_ptr<ProcessApplication>> units_;
    std::map<int, Watch> watches_;
    // Instances no descriptor could be had for: settled at each listing instead.
    std::set<std::shared_ptr<ProcessApplication>> unwatched_;
};

}  // namespace tessary
